// The shared discipline of Line: one queue in front of the request in flight, admission by the
// projector's state, waits that expire, and the state that every reply teaches.
#include "line.h"

#include "protocol/commandtable.h"

#include <QDateTime>

#include <algorithm>

namespace qv7 {

namespace {

using namespace std::chrono_literals;

const Command kPowerQuery = commandFor(button({"status"}));
const Command kInputQuery = commandFor(button({"input"}));

// Settings the projector cannot be asked for: what was last set through the line; all are off
// after a power-on.
struct Remembered {
    LineState::Field field;
    bool LineState::*member;
    const OneShotCommand *on;
    const OneShotCommand *off;
};
const Remembered kRemembered[] = {
    {LineState::Field::VideoMute, &LineState::videoMute, &button({"video-mute", "on"}),
     &button({"video-mute", "off"})},
    {LineState::Field::AudioMute, &LineState::audioMute, &button({"audio-mute", "on"}),
     &button({"audio-mute", "off"})},
    {LineState::Field::Freeze, &LineState::freeze, &button({"freeze", "on"}),
     &button({"freeze", "off"})},
};

QString powerWord(std::optional<PowerState> power)
{
    return power ? QString::fromLatin1(word(*power)) : QString();
}

} // namespace

void Line::submit(const std::vector<Command> &commands, const Completion &completion,
                  std::chrono::seconds wait, const Asker &asker)
{
    if (!hasRoomFor(commands, completion))
        return;
    for (const Command &command : commands)
        queue_.push_back({.command = command,
                          .completion = completion,
                          .wait = wait,
                          .deadline = clock_.now() + wait,
                          .client = asker.client,
                          .forClient = asker.client != nullptr,
                          .origin = asker.origin});
    admit(commands.front(), wait);
}

Line::HoldId Line::holdDown(const HoldCommand &button, const Completion &completion,
                            const Asker &asker)
{
    // A hold is for now: one the projector cannot take yet is not sent.
    const Command command = commandFor(button, 0);
    if (!hasRoomFor({command}, completion))
        return 0;
    const HoldId id = ++lastHold_;
    queue_.push_back({.command = command,
                      .completion = completion,
                      .deadline = clock_.now(),
                      .hold = id,
                      .client = asker.client,
                      .forClient = asker.client != nullptr,
                      .origin = asker.origin});
    admit(command, 0s);
    return id;
}

bool Line::hasRoomFor(const std::vector<Command> &commands, const Completion &completion)
{
    // The line's own polls are not counted: there is one of each at most.
    const auto waiting = std::size_t(
        std::ranges::count_if(queue_, [](const Pending &p) { return bool(p.completion); }));
    if (waiting + commands.size() <= kMostQueued)
        return true;
    const QString why = QStringLiteral("%1 commands wait for this line already").arg(waiting);
    for (const Command &command : commands)
        notSent({.command = command, .completion = completion}, why);
    return false;
}

void Line::letGo(HoldId hold)
{
    if (hold == 0)
        return;
    if (hold == heldNow_) {
        heldNow_ = 0;
        // The release closes the reply window; a hold that a failure ended has completed
        // already.
        if (inFlight_ && inFlight_->command.hold && inFlight_->command.count == 0) {
            release(*inFlight_->command.hold);
            completeLater(holdReply_);
        }
        return;
    }
    const auto waiting = std::ranges::find(queue_, hold, &Pending::hold);
    if (waiting != queue_.end()) {
        waiting->hold = 0;
        waiting->command.count = 1;
    }
}

void Line::admit(const Command &first, std::chrono::seconds wait)
{
    if (!isUp()) {
        failQueued();
        return;
    }
    if (!canTakeNow(first) && wait > 0s)
        emit waiting(first);
    dispatch();
    armExpiry();
}

bool Line::canTakeNow(const Command &command) const
{
    return takenInAnyState(command) || state_.power == PowerState::On;
}

Verdict Line::verdict(const Command &command) const
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

void Line::poll(const Command &query)
{
    if (std::ranges::any_of(queue_, [&](const Pending &p) {
            return !p.completion && p.command.click == query.click;
        }))
        return;
    queue_.push_back({.command = query});
    dispatch();
}

void Line::dispatch()
{
    if (!isReady() || busy())
        return;
    const auto next =
        std::ranges::find_if(queue_, [this](const Pending &p) { return canTakeNow(p.command); });
    if (next == queue_.end())
        return;
    const Pending pending = *next;
    queue_.erase(next);
    if (pending.forClient && !pending.client) {
        notSent(pending, QStringLiteral("whoever asked for it has gone"));
        dispatch();
        return;
    }
    emit sending(pending.command, pending.origin);
    inFlightCompletion_ = pending.completion;
    polling_ = !pending.completion;
    heldNow_ = pending.hold;
    if (heldNow_ != 0)
        holdLimit_.start();
    request(pending.command);
}

void Line::armExpiry()
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

void Line::dropExpired()
{
    const QString why = !isReady() ? QStringLiteral("the line is down")
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

void Line::settle(const Result &result)
{
    const Completion completion = std::exchange(inFlightCompletion_, {});
    polling_ = false;
    heldNow_ = 0;
    holdLimit_.stop();
    const bool noReply = result.failure && result.failure->kind == FailureKind::NoReply;
    if (!result.failure || noReply) {
        // Only an unanswered query says the projector is silent; it need not answer the rest.
        if (!noReply) {
            set(LineState::Field::Link, &LineState::link, Link::Up);
            state_.lastAnswer = double(QDateTime::currentMSecsSinceEpoch()) / 1000;
        } else if (result.query) {
            set(LineState::Field::Link, &LineState::link, Link::Silent);
        }
        if (result.reading)
            take(*result.reading);
        const OneShotCommand *sent = result.command.click;
        for (const Remembered &setting : kRemembered) {
            if (!noReply && (sent == setting.on || sent == setting.off))
                set(setting.field, setting.member, sent == setting.on);
        }
        // See what a command did at once rather than at the next poll.
        if (powerChange(result.command) != PowerChange::None)
            poll(kPowerQuery);
        else if (inputSelected(result.command))
            poll(kInputQuery);
    }
    emit done(result);
    if (completion)
        completion(result, {});
    dispatch();
}

void Line::goDown()
{
    set(LineState::Field::Link, &LineState::link, Link::Down);
    // What was read before the loss may no longer hold.
    setPower(std::nullopt);
    std::erase_if(queue_, [](const Pending &p) { return !p.completion; });
    failQueued();
}

void Line::failQueued()
{
    std::erase_if(queue_, [this](const Pending &p) {
        notSent(p, QStringLiteral("the line is down (%1)").arg(down_));
        return true;
    });
    armExpiry();
}

void Line::notSent(const Pending &pending, const QString &why)
{
    emit dropped(pending.command, why);
    Result result;
    result.command = pending.command;
    pending.completion(result, why);
}

void Line::take(const Reading &reading)
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

void Line::setPower(std::optional<PowerState> power)
{
    const auto before = state_.power;
    set(LineState::Field::Power, &LineState::power, power);
    armExpiry();
    if (power == PowerState::On && before != PowerState::On) {
        // The projector starts unmuted, and the input may have changed while it was off.
        for (const Remembered &setting : kRemembered)
            set(setting.field, setting.member, false);
        poll(kInputQuery);
    }
}

template <typename Value>
void Line::set(LineState::Field field, Value LineState::*member, Value value)
{
    const auto index = std::size_t(field);
    if (state_.known[index] && state_.*member == value)
        return;
    state_.*member = value;
    state_.known.set(index);
    emit stateChanged(field);
}

} // namespace qv7
