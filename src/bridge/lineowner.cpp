#include "lineowner.h"

#include "protocol/commandtable.h"
#include "protocol/commandwords.h"

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr auto kLongestReopen = 60s;

const Command kPowerQuery = commandFor(button({"status"}));
const Command kInputQuery = commandFor(button({"input"}));
const Command kLampQuery = commandFor(button({"lamp-hours"}));
const Command kOrientationQuery = commandFor(button({"orientation"}));

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

LineOwner::LineOwner(const InventoryEntry &entry, const Settings &settings, QObject *parent,
                     Clock &clock)
    : QObject(parent)
    , entry_(entry)
    , settings_(settings)
    , line_(Line::Discipline::Shared, this, clock)
    , traffic_(line_, this, clock)
    , reopen_(clock, this)
    , backOff_(settings.firstReopen)
    , powerPoll_(clock, this)
    , lampPoll_(clock, this)
{
    powerPoll_.setSingleShot(true);
    connect(&powerPoll_, &LineTimer::timeout, this, [this] { line_.poll(kPowerQuery); });
    lampPoll_.setInterval(entry_.lampPoll);
    connect(&lampPoll_, &LineTimer::timeout, this, [this] { line_.poll(kLampQuery); });
    reopen_.setSingleShot(true);
    connect(&reopen_, &LineTimer::timeout, this, &LineOwner::open);
    // Every failure of the port (open, write, the device gone) arrives here, once a burst.
    connect(&line_, &Line::failed, this, &LineOwner::onLost);
    connect(&line_, &Line::done, this, &LineOwner::onDone);
    connect(&line_, &Line::opened, this, &LineOwner::onOpened);
    connect(&line_, &Line::stateChanged, this, &LineOwner::onStateChanged);
    connect(&line_, &Line::waiting, this, [this](const Command &command) {
        log(Priority::Info, QStringLiteral("%1 waits until the projector can take it (%2)")
                                .arg(words(command), powerWord(line_.state().power)));
    });
    connect(&line_, &Line::dropped, this, [this](const Command &command, const QString &why) {
        log(Priority::Notice, QStringLiteral("%1: not sent: %2").arg(words(command), why));
    });
    connect(&line_, &Line::heldTooLong, this, [this](const Command &command) {
        log(Priority::Notice, QStringLiteral("%1 let go after %2 s, the longest a hold lasts")
                                  .arg(words(command))
                                  .arg(Line::kLongestHold.count()));
    });
    // Who did what: each command a face asked for is logged once as it goes out, with where
    // it came from. Queries, and the line's own polls, only with --verbose: a controller that
    // polls every second would bury the commands that changed something.
    connect(&line_, &Line::sending, this, [this](const Command &command, const QString &origin) {
        const bool query = isQuery(command) || command.code.starts_with("CR");
        const QString text = QStringLiteral("sent %1 (%2)").arg(code(command.code), words(command));
        const QString from = origin.isEmpty() ? QString() : QStringLiteral(" for ") + origin;
        if (!origin.isEmpty() && !query)
            log(Priority::Info, text + from);
        else if (settings_.verbose)
            log(Priority::Debug, text + from);
    });
    for (const auto signal :
         {&TrafficView::txdChanged, &TrafficView::rxdChanged, &TrafficView::statusChanged})
        connect(&traffic_, signal, this, &LineOwner::trafficChanged);
}

void LineOwner::log(Priority priority, const QString &text) const
{
    logEvent(priority, entry_.name + QStringLiteral(": ") + text);
}

void LineOwner::start()
{
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

void LineOwner::onOpened()
{
    announced_ = false;
    open_ = true;
    lastFailure_.clear();
    backOff_ = settings_.firstReopen;
    log(Priority::Info, QStringLiteral("%1 is open").arg(entry_.port));
    for (const Command &query : {kPowerQuery, kInputQuery, kLampQuery, kOrientationQuery})
        line_.poll(query);
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
    // The line goes down once this has been said: it is still as it was before the failure.
    const auto nextTry = backOff_;
    backOff_ = std::min(backOff_ * 2, std::chrono::seconds(kLongestReopen));
    reopen_.start(nextTry);
    const bool wasUp = std::exchange(open_, false);
    // An attempt that fails as the last one did says nothing new; one with another reason does.
    const bool newReason = failure.description != std::exchange(lastFailure_, failure.description);
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
    if (line_.state().link != Link::Down || newReason || settings_.verbose)
        log(Priority::Warning, QStringLiteral("%1; trying again in %2 s")
                                   .arg(failure.description)
                                   .arg(nextTry.count()));
    emit availabilityChanged(false);
    powerPoll_.stop();
    lampPoll_.stop();
}

void LineOwner::onDone(const Result &result)
{
    const bool noReply = result.failure && result.failure->kind == FailureKind::NoReply;
    if (result.failure && !noReply)
        return;
    announce();
    if (settings_.verbose)
        log(Priority::Debug,
            QStringLiteral("reply to %1: %2%3")
                .arg(code(result.command.code), replyLine(result).trimmed(),
                     result.reading ? QStringLiteral(" (%1)").arg(
                                          QString::fromStdString(scriptText(*result.reading)))
                                    : QString()));
    if (result.command.click == kPowerQuery.click)
        powerPoll_.start(changing(line_.state().power) ? entry_.transitionPoll : entry_.powerPoll);
}

void LineOwner::onStateChanged(LineState::Field field)
{
    const LineState &state = line_.state();
    if (field == LineState::Field::Link && state.link != Link::Down)
        log(state.link == Link::Up ? Priority::Info : Priority::Warning,
            QStringLiteral("link %1").arg(QString::fromLatin1(word(state.link))));
    if (field != LineState::Field::Power)
        return;
    const auto before = std::exchange(power_, state.power);
    if (state.power && powerWord(before) != powerWord(state.power))
        log(Priority::Info, QStringLiteral("power %1").arg(powerWord(state.power)));
}

} // namespace qv7::bridge
