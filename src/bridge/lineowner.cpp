#include "lineowner.h"

#include "protocol/commandtable.h"
#include "requests.h"

#include <QDateTime>

#include <algorithm>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr auto kFirstReopen = 5s;
constexpr auto kLongestReopen = 60s;

const Command kPowerQuery = commandNamed("status");
const Command kInputQuery = commandNamed("input");
const Command kLampQuery = commandNamed("lamp-hours");
const Command kOrientationQuery = commandNamed("orientation");
const Command kPowerOn = commandNamed("power", "on");
const Command kPowerOff = commandNamed("power", "off");

// Settings the projector cannot be asked for: what was last set through any face, kept as
// state ("on", "off"); all are off after a power-on.
struct Remembered {
    const char16_t *leaf;
    std::string on;
    std::string off;
};
const Remembered kRemembered[] = {
    {u"video_mute", commandNamed("video-mute", "on").code, commandNamed("video-mute", "off").code},
    {u"audio_mute", commandNamed("audio-mute", "on").code, commandNamed("audio-mute", "off").code},
    {u"freeze", commandNamed("freeze", "on").code, commandNamed("freeze", "off").code},
};

bool isInputSelect(const std::string &code)
{
    return std::ranges::any_of(
        kInputs, [&](const auto &input) { return commandNamed("input", input.word).code == code; });
}

QByteArray bytes(std::string_view text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

bool changing(std::optional<PowerState> power)
{
    return power == PowerState::Warming || power == PowerState::Cooling;
}

QString code(const std::string &code)
{
    return QString::fromStdString(code);
}

QString words(const Command &command)
{
    return QString::fromStdString(command.words);
}

QString powerWord(std::optional<PowerState> power)
{
    return power ? QString::fromLatin1(word(*power)) : QString();
}

} // namespace

LineOwner::LineOwner(const InventoryEntry &projector, const Settings &settings, QObject *parent)
    : QObject(parent)
    , projector_(projector)
    , settings_(settings)
    , line_(this)
    , backOff_(kFirstReopen)
{
    powerPoll_.setSingleShot(true);
    connect(&powerPoll_, &QTimer::timeout, this, [this] { poll(kPowerQuery); });
    lampPoll_.setInterval(projector_.lampPoll);
    connect(&lampPoll_, &QTimer::timeout, this, [this] { poll(kLampQuery); });
    expiry_.setSingleShot(true);
    connect(&expiry_, &QTimer::timeout, this, &LineOwner::dropExpired);
    reopen_.setSingleShot(true);
    connect(&reopen_, &QTimer::timeout, this, &LineOwner::open);
    // Every failure of the port (open, write, the device gone) arrives here, once a burst.
    connect(&line_, &Projector::failed, this, &LineOwner::onLost);
    connect(&line_, &Projector::done, this, &LineOwner::onDone);
    state_.insert(QStringLiteral("link"), "down");
}

void LineOwner::log(Priority priority, const QString &text) const
{
    logEvent(priority, projector_.name + QStringLiteral(": ") + text);
}

void LineOwner::start()
{
    lineDown_ = QStringLiteral("the line is not open yet");
    open();
}

void LineOwner::open()
{
    if (line_.open(
            {projector_.port, projector_.name, projector_.settings, settings_.connectTimeoutMs}))
        onOpened();
}

void LineOwner::claim()
{
    if (!std::exchange(claimed_, true))
        emit claimed();
}

void LineOwner::submit(const std::vector<Command> &commands, const Completion &completion,
                       std::chrono::seconds wait)
{
    for (const Command &command : commands)
        queue_.push_back({command, completion, wait, QDeadlineTimer(wait)});
    if (!isUp()) {
        failQueued();
        return;
    }
    const Command &first = commands.front();
    if (!canTakeNow(first) && wait > 0s)
        log(Priority::Info, QStringLiteral("%1 waits until the projector can take it (%2)")
                                .arg(words(first), powerWord(power_)));
    dispatch();
    armExpiry();
}

bool LineOwner::canTakeNow(const Command &command) const
{
    return takenInAnyState(command.code) || power_ == PowerState::On;
}

void LineOwner::poll(const Command &query)
{
    // One of each query waiting is enough.
    if (std::ranges::any_of(queue_, [&](const Pending &p) {
            return !p.completion && p.command.code == query.code;
        }))
        return;
    queue_.push_back({query, {}, {}, {}});
    dispatch();
}

void LineOwner::dispatch()
{
    if (!line_.isOpen() || !line_.idle() || inFlight_)
        return;
    const auto next =
        std::ranges::find_if(queue_, [this](const Pending &p) { return canTakeNow(p.command); });
    if (next == queue_.end())
        return;
    inFlight_ = *next;
    queue_.erase(next);
    if (settings_.verbose)
        log(Priority::Debug, QStringLiteral("sent %1 (%2)")
                                 .arg(code(inFlight_->command.code), words(inFlight_->command)));
    line_.request(inFlight_->command);
}

void LineOwner::armExpiry()
{
    // The wait is for the projector's state, not for the queue: a command it can take is sent
    // in its turn.
    QDeadlineTimer earliest = QDeadlineTimer::Forever;
    for (const Pending &p : queue_) {
        if (p.completion && !canTakeNow(p.command) && p.deadline < earliest)
            earliest = p.deadline;
    }
    if (earliest.isForever())
        expiry_.stop();
    else
        expiry_.start(std::chrono::milliseconds(earliest.remainingTime()));
}

void LineOwner::dropExpired()
{
    const QString why = !line_.isOpen() ? QStringLiteral("the line is down")
                        : !power_       ? QStringLiteral("the projector does not answer")
                                        : QStringLiteral("the projector is ") + powerWord(power_);
    std::erase_if(queue_, [&](const Pending &p) {
        if (!p.completion || !p.deadline.hasExpired() || canTakeNow(p.command))
            return false;
        notSent(p,
                p.wait > 0s ? QStringLiteral("%1 after %2 s").arg(why).arg(p.wait.count()) : why);
        return true;
    });
    armExpiry();
}

void LineOwner::onOpened()
{
    claim();
    lineDown_.clear();
    emit availabilityChanged(true);
    backOff_ = kFirstReopen;
    log(Priority::Info, QStringLiteral("%1 is open").arg(projector_.port));
    for (const Command &query : {kPowerQuery, kInputQuery, kLampQuery, kOrientationQuery})
        poll(query);
    lampPoll_.start();
}

void LineOwner::onLost(const Failure &failure)
{
    const auto nextTry = backOff_;
    backOff_ = std::min(backOff_ * 2, std::chrono::seconds(kLongestReopen));
    reopen_.start(nextTry);
    const bool firstOfOutage = isUp() || !claimed_;
    lineDown_ = failure.description;
    if (!claimed_ && failure.kind == FailureKind::InUse) {
        if (firstOfOutage || settings_.verbose)
            log(Priority::Warning, QStringLiteral("%1; another program owns this projector's "
                                                  "line, so nothing is published for it until "
                                                  "it is free; trying again in %2 s")
                                       .arg(failure.description)
                                       .arg(nextTry.count()));
        return;
    }
    claim();
    // One line per outage; the attempts after it only change the link topic, which they don't.
    if (state_.value(QStringLiteral("link")) != "down" || settings_.verbose)
        log(Priority::Warning, QStringLiteral("%1; trying again in %2 s")
                                   .arg(failure.description)
                                   .arg(nextTry.count()));
    setLink(QStringLiteral("down"));
    // What was read before the loss may no longer hold.
    setPower(std::nullopt);
    emit availabilityChanged(false);
    powerPoll_.stop();
    lampPoll_.stop();
    std::erase_if(queue_, [](const Pending &p) { return !p.completion; });
    failQueued();
}

void LineOwner::failQueued()
{
    std::erase_if(queue_, [this](const Pending &p) {
        notSent(p, QStringLiteral("the line is down (%1)").arg(lineDown_));
        return true;
    });
    armExpiry();
}

void LineOwner::notSent(const Pending &pending, const QString &why)
{
    log(Priority::Notice, QStringLiteral("%1: not sent: %2").arg(words(pending.command), why));
    Result result;
    result.command = pending.command;
    pending.completion(result, why);
}

void LineOwner::onDone(const Result &result)
{
    const Pending done = *std::exchange(inFlight_, std::nullopt);
    const bool noReply = result.failure && result.failure->kind == FailureKind::NoReply;
    if (!result.failure || noReply) {
        if (settings_.verbose)
            log(Priority::Debug,
                QStringLiteral("reply to %1: %2%3")
                    .arg(code(result.command.code), result.rendering.trimmed(),
                         result.reading ? QStringLiteral(" (%1)").arg(
                                              QString::fromStdString(scriptText(*result.reading)))
                                        : QString()));
        // Only an unanswered query says the projector is silent; it need not answer the rest.
        if (!noReply) {
            setLink(QStringLiteral("up"));
            lastAnswer_ = double(QDateTime::currentMSecsSinceEpoch()) / 1000;
        } else if (result.query)
            setLink(QStringLiteral("silent"));
        if (result.reading)
            take(*result.reading);
        const std::string &sent = result.command.code;
        for (const Remembered &setting : kRemembered) {
            if (!noReply && (sent == setting.on || sent == setting.off))
                setState(QString::fromUtf16(setting.leaf), sent == setting.on ? "on" : "off");
        }
        if (sent == kPowerQuery.code)
            powerPoll_.start(changing(power_) ? projector_.transitionPoll : projector_.powerPoll);
        // See what the command did at once rather than at the next poll.
        if (sent == kPowerOn.code || sent == kPowerOff.code)
            poll(kPowerQuery);
        else if (isInputSelect(sent))
            poll(kInputQuery);
    }
    if (done.completion)
        done.completion(result, {});
    dispatch();
}

void LineOwner::take(const Reading &reading)
{
    if (const auto *power = std::get_if<PowerState>(&reading)) {
        setPower(*power);
    } else if (const auto *input = std::get_if<Input>(&reading)) {
        setState(QStringLiteral("input"), bytes(word(*input)));
    } else if (const auto *lamp = std::get_if<LampTime>(&reading)) {
        if (lamp->hours)
            setState(QStringLiteral("lamp_hours"), QByteArray::number(*lamp->hours));
    } else if (const auto *orientation = std::get_if<Orientation>(&reading)) {
        setState(QStringLiteral("orientation"), bytes(word(*orientation)));
    }
}

void LineOwner::setPower(std::optional<PowerState> power)
{
    const auto before = std::exchange(power_, power);
    const QString word = powerWord(power);
    if (power && powerWord(before) != word)
        log(Priority::Info, QStringLiteral("power %1").arg(word));
    setState(QStringLiteral("power"), word.toUtf8());
    armExpiry();
    if (power == PowerState::On && before != PowerState::On) {
        // The projector starts unmuted, and the input may have changed while it was off.
        for (const Remembered &setting : kRemembered)
            setState(QString::fromUtf16(setting.leaf), "off");
        poll(kInputQuery);
    }
}

LineOwner::Mutes LineOwner::mutes() const
{
    return {state_.value(QStringLiteral("video_mute")) == "on",
            state_.value(QStringLiteral("audio_mute")) == "on"};
}

ProjectorSample LineOwner::sample() const
{
    ProjectorSample sample;
    sample.projector = projector_.name.toStdString();
    const std::string link = state_.value(QStringLiteral("link")).toStdString();
    sample.up = link == "up" && power_;
    sample.power = power_;
    if (const QByteArray hours = state_.value(QStringLiteral("lamp_hours")); !hours.isEmpty())
        sample.lampHours = hours.toInt();
    if (const auto known = std::ranges::find(kLinkStates, link); known != std::end(kLinkStates))
        sample.link = *known;
    sample.lastAnswer = lastAnswer_;
    return sample;
}

void LineOwner::setLink(const QString &word)
{
    const QByteArray value = word.toUtf8();
    if (state_.value(QStringLiteral("link")) != value && word != u"down")
        log(word == u"up" ? Priority::Info : Priority::Warning,
            QStringLiteral("link %1").arg(word));
    setState(QStringLiteral("link"), value);
}

void LineOwner::setState(const QString &leaf, const QByteArray &value)
{
    const auto it = state_.find(leaf);
    if (it != state_.end() && *it == value)
        return;
    state_.insert(leaf, value);
    emit stateChanged(leaf, value);
}

} // namespace qv7::bridge
