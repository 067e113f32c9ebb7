#include "lineowner.h"

#include "protocol/commandtable.h"
#include "protocol/commandwords.h"

#include <QDateTime>

#include <algorithm>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr auto kLongestReopen = 60s;

const Command kPowerQuery = commandFor(button({"status"}));
const Command kInputQuery = commandFor(button({"input"}));
const Command kLampQuery = commandFor(button({"lamp-hours"}));
const Command kOrientationQuery = commandFor(button({"orientation"}));

// Settings the projector cannot be asked for: what was last set through any face; all are off
// after a power-on.
struct Remembered {
    LineState::Field field;
    bool LineState::*member;
    std::string_view on;
    std::string_view off;
};
const Remembered kRemembered[] = {
    {LineState::Field::VideoMute, &LineState::videoMute, button({"video-mute", "on"}).code,
     button({"video-mute", "off"}).code},
    {LineState::Field::AudioMute, &LineState::audioMute, button({"audio-mute", "on"}).code,
     button({"audio-mute", "off"}).code},
    {LineState::Field::Freeze, &LineState::freeze, button({"freeze", "on"}).code,
     button({"freeze", "off"}).code},
};

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

QString linkWord(Link link)
{
    return QString::fromLatin1(word(link));
}

} // namespace

LineOwner::LineOwner(const InventoryEntry &entry, const Settings &settings, QObject *parent,
                     Clock &clock)
    : QObject(parent)
    , entry_(entry)
    , settings_(settings)
    , clock_(clock)
    , line_(Line::Discipline::Requests, this, clock)
    , reopen_(clock, this)
    , backOff_(settings.firstReopen)
    , powerPoll_(clock, this)
    , lampPoll_(clock, this)
    , expiry_(clock, this)
{
    powerPoll_.setSingleShot(true);
    connect(&powerPoll_, &LineTimer::timeout, this, [this] { poll(kPowerQuery); });
    lampPoll_.setInterval(entry_.lampPoll);
    connect(&lampPoll_, &LineTimer::timeout, this, [this] { poll(kLampQuery); });
    expiry_.setSingleShot(true);
    connect(&expiry_, &LineTimer::timeout, this, &LineOwner::dropExpired);
    reopen_.setSingleShot(true);
    connect(&reopen_, &LineTimer::timeout, this, &LineOwner::open);
    // Every failure of the port (open, write, the device gone) arrives here, once a burst.
    connect(&line_, &Line::failed, this, &LineOwner::onLost);
    connect(&line_, &Line::done, this, &LineOwner::onDone);
    connect(&line_, &Line::opened, this, &LineOwner::onOpened);
    for (const auto signal : {&Line::txdChanged, &Line::rxdChanged, &Line::statusChanged})
        connect(&line_, signal, this, &LineOwner::trafficChanged);
    state_.known.set(std::size_t(LineState::Field::Link));
}

void LineOwner::log(Priority priority, const QString &text) const
{
    logEvent(priority, entry_.name + QStringLiteral(": ") + text);
}

void LineOwner::start()
{
    lineDown_ = QStringLiteral("the line is not open yet");
    open();
}

void LineOwner::open()
{
    // A failure comes through failed(), the line's opening through opened().
    line_.open({entry_.port, entry_.name, entry_.settings, settings_.connectTimeoutMs});
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
        queue_.push_back({command, completion, wait, clock_.now() + wait});
    admit(commands.front(), wait);
}

void LineOwner::admit(const Command &first, std::chrono::seconds wait)
{
    if (!isUp()) {
        failQueued();
        return;
    }
    if (!canTakeNow(first) && wait > 0s)
        log(Priority::Info, QStringLiteral("%1 waits until the projector can take it (%2)")
                                .arg(words(first), powerWord(state_.power)));
    dispatch();
    armExpiry();
}

LineOwner::HoldId LineOwner::press(const HoldCommand &button, const Completion &completion)
{
    const HoldId id = ++lastHold_;
    // A hold is for now: one the projector cannot take yet is not sent.
    const Command command = commandFor(button, 0);
    queue_.push_back({command, completion, {}, clock_.now(), id});
    admit(command, 0s);
    return id;
}

void LineOwner::release(HoldId hold)
{
    if (hold == 0)
        return;
    if (hold == heldNow_) {
        heldNow_ = 0;
        line_.letGo();
        return;
    }
    const auto waiting = std::ranges::find(queue_, hold, &Pending::hold);
    if (waiting != queue_.end()) {
        waiting->hold = 0;
        waiting->command.count = 1;
    }
}

bool LineOwner::canTakeNow(const Command &command) const
{
    return takenInAnyState(command.code) || state_.power == PowerState::On;
}

Verdict LineOwner::verdict(const Command &command) const
{
    const auto power = state_.power;
    if (!isUp() || power == PowerState::PowerAbnormal || power == PowerState::TemperatureAbnormal)
        return Verdict::Failed;
    switch (powerChange(command)) {
    case PowerChange::Off:
        if (power == PowerState::Standby || power == PowerState::Cooling)
            return Verdict::Already;
        break;
    case PowerChange::On:
        if (power == PowerState::Cooling)
            return Verdict::NotNow;
        break;
    case PowerChange::None:
        break;
    }
    return canTakeNow(command) ? Verdict::Now : Verdict::Waits;
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
    if (!line_.isReady() || line_.busy())
        return;
    const auto next =
        std::ranges::find_if(queue_, [this](const Pending &p) { return canTakeNow(p.command); });
    if (next == queue_.end())
        return;
    const Pending pending = *next;
    queue_.erase(next);
    if (settings_.verbose)
        log(Priority::Debug,
            QStringLiteral("sent %1 (%2)").arg(code(pending.command.code), words(pending.command)));
    inFlight_ = pending.completion;
    heldNow_ = pending.hold;
    line_.request(pending.command);
}

void LineOwner::armExpiry()
{
    // The wait is for the projector's state, not for the queue: a command it can take is sent
    // in its turn.
    std::optional<Milliseconds> earliest;
    for (const Pending &p : queue_) {
        if (p.completion && !canTakeNow(p.command) && (!earliest || p.deadline < *earliest))
            earliest = p.deadline;
    }
    if (!earliest)
        expiry_.stop();
    else
        expiry_.start(std::max(*earliest - clock_.now(), Milliseconds(0)));
}

void LineOwner::dropExpired()
{
    const QString why = !line_.isReady() ? QStringLiteral("the line is down")
                        : !state_.power
                            ? QStringLiteral("the projector does not answer")
                            : QStringLiteral("the projector is ") + powerWord(state_.power);
    std::erase_if(queue_, [&](const Pending &p) {
        if (!p.completion || p.deadline > clock_.now() || canTakeNow(p.command))
            return false;
        notSent(p,
                p.wait > 0s ? QStringLiteral("%1 after %2 s").arg(why).arg(p.wait.count()) : why);
        return true;
    });
    armExpiry();
}

void LineOwner::onOpened()
{
    lineDown_.clear();
    announced_ = false;
    backOff_ = settings_.firstReopen;
    log(Priority::Info, QStringLiteral("%1 is open").arg(entry_.port));
    for (const Command &query : {kPowerQuery, kInputQuery, kLampQuery, kOrientationQuery})
        poll(query);
    lampPoll_.start();
}

void LineOwner::announce()
{
    // A first reply, or a first silence in which no other holder of the device was found,
    // shows that the line is this daemon's: only then is it published.
    if (std::exchange(announced_, true))
        return;
    claim();
    emit availabilityChanged(true);
}

void LineOwner::onLost(const Failure &failure)
{
    const auto nextTry = backOff_;
    backOff_ = std::min(backOff_ * 2, std::chrono::seconds(kLongestReopen));
    reopen_.start(nextTry);
    const bool wasUp = isUp();
    // An attempt that fails as the last one did says nothing new; one with another reason does.
    const bool newReason = failure.description != std::exchange(lineDown_, failure.description);
    if (newReason)
        emit downReasonChanged();
    if (!claimed_ && failure.kind == FailureKind::InUse) {
        if (wasUp || newReason || settings_.verbose)
            log(Priority::Warning, QStringLiteral("%1; another program owns this projector's "
                                                  "line, so nothing is published for it until "
                                                  "it is free; trying again in %2 s")
                                       .arg(failure.description)
                                       .arg(nextTry.count()));
        return;
    }
    claim();
    // One line per outage and reason; the attempts after it only change the link topic.
    if (state_.link != Link::Down || newReason || settings_.verbose)
        log(Priority::Warning, QStringLiteral("%1; trying again in %2 s")
                                   .arg(failure.description)
                                   .arg(nextTry.count()));
    setLink(Link::Down);
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
    const Completion completion = std::exchange(inFlight_, {});
    heldNow_ = 0;
    const bool noReply = result.failure && result.failure->kind == FailureKind::NoReply;
    if (!result.failure || noReply) {
        announce();
        if (settings_.verbose)
            log(Priority::Debug,
                QStringLiteral("reply to %1: %2%3")
                    .arg(code(result.command.code), result.rendering.trimmed(),
                         result.reading ? QStringLiteral(" (%1)").arg(
                                              QString::fromStdString(scriptText(*result.reading)))
                                        : QString()));
        // Only an unanswered query says the projector is silent; it need not answer the rest.
        if (!noReply) {
            setLink(Link::Up);
            state_.lastAnswer = double(QDateTime::currentMSecsSinceEpoch()) / 1000;
        } else if (result.query)
            setLink(Link::Silent);
        if (result.reading)
            take(*result.reading);
        const std::string &sent = result.command.code;
        for (const Remembered &setting : kRemembered) {
            if (!noReply && (sent == setting.on || sent == setting.off))
                set(setting.field, setting.member, sent == setting.on);
        }
        if (sent == kPowerQuery.code)
            powerPoll_.start(changing(state_.power) ? entry_.transitionPoll : entry_.powerPoll);
        // See what the command did at once rather than at the next poll.
        if (powerChange(result.command) != PowerChange::None)
            poll(kPowerQuery);
        else if (inputSelected(result.command))
            poll(kInputQuery);
    }
    if (completion)
        completion(result, {});
    dispatch();
}

void LineOwner::take(const Reading &reading)
{
    if (const auto *power = std::get_if<PowerState>(&reading)) {
        setPower(*power);
    } else if (const auto *input = std::get_if<Input>(&reading)) {
        set(LineState::Field::Input, &LineState::input, std::optional(*input));
    } else if (const auto *lamp = std::get_if<LampTime>(&reading)) {
        if (lamp->hours)
            set(LineState::Field::LampHours, &LineState::lampHours, lamp->hours);
    } else if (const auto *orientation = std::get_if<Orientation>(&reading)) {
        set(LineState::Field::Orientation, &LineState::orientation, std::optional(*orientation));
    }
}

void LineOwner::setPower(std::optional<PowerState> power)
{
    const auto before = state_.power;
    if (power && powerWord(before) != powerWord(power))
        log(Priority::Info, QStringLiteral("power %1").arg(powerWord(power)));
    set(LineState::Field::Power, &LineState::power, power);
    armExpiry();
    if (power == PowerState::On && before != PowerState::On) {
        // The projector starts unmuted, and the input may have changed while it was off.
        for (const Remembered &setting : kRemembered)
            set(setting.field, setting.member, false);
        poll(kInputQuery);
    }
}

void LineOwner::setLink(Link link)
{
    if (state_.link != link && link != Link::Down)
        log(link == Link::Up ? Priority::Info : Priority::Warning,
            QStringLiteral("link %1").arg(linkWord(link)));
    set(LineState::Field::Link, &LineState::link, link);
}

template <typename Value>
void LineOwner::set(LineState::Field field, Value LineState::*member, Value value)
{
    const auto index = std::size_t(field);
    if (state_.known[index] && state_.*member == value)
        return;
    state_.*member = value;
    state_.known.set(index);
    emit stateChanged(field);
}

} // namespace qv7::bridge
