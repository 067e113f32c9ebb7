#pragma once

#include "engine/clock.h"
#include "engine/line.h"
#include "inventory/inventory.h"
#include "log.h"
#include "protocol/metrics.h"

#include <QObject>
#include <QString>

#include <bitset>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace qv7::bridge {

// How a command from a face ended: its result, or why it was never sent.
using Completion = std::function<void(const Result &result, const QString &notSent)>;

// Whether the projector answers: up, silent (a query went unanswered), or the line is down.
enum class Link { Up, Silent, Down };
// "up", "silent", "down", as the topics and the metrics say it.
inline std::string_view word(Link link)
{
    return kLinkStates[std::size_t(link)];
}

// What the daemon knows of one projector, as values; each face says it in its own words.
struct LineState {
    enum class Field { Link, Power, Input, LampHours, Orientation, VideoMute, AudioMute, Freeze };
    static constexpr std::size_t kFields = 8;

    Link link = Link::Down;
    std::optional<PowerState> power;
    std::optional<Input> input;
    std::optional<int> lampHours;
    std::optional<Orientation> orientation;
    // The settings the projector cannot be asked for: as last set through any face.
    bool videoMute = false;
    bool audioMute = false;
    bool freeze = false;
    std::optional<double> lastAnswer; // Unix time
    // The fields given a value since the start (an unknown power after a loss among them).
    std::bitset<kFields> known;

    bool isKnown(Field field) const { return known[std::size_t(field)]; }
};

// Whether the projector can take a command now, asked once here for every face, which says
// the answer in its own protocol.
enum class Verdict {
    Now,     // sent in its turn
    Waits,   // not until the projector is on (or its state is known)
    Already, // nothing to do: it asks to switch off a projector that is off or cooling
    NotNow,  // refused for now: power on while it cools
    Failed,  // the line is down, or the projector reports a fault
};

// One projector's line and everything the daemon knows of it, shared by the faces that serve
// it (MQTT, PJLink). The line is kept open and polled, and published from its first exchange,
// by which a program that holds it without a lock would have been found. A line that fails or
// cannot be opened is tried again after 5 s, doubling up to a minute. Commands from every face
// and the polls share one queue with one command in flight, so that faces never interleave
// bytes on the line and what one face learns the others see. Commands the projector cannot
// take yet wait until it is on, for as long as their face allows; while the line is down they
// fail at once.
class LineOwner : public QObject {
    Q_OBJECT

public:
    struct Settings {
        bool verbose = false;
        int connectTimeoutMs = TransportOptions{}.connectTimeoutMs;
        // The first wait before a failed line is opened again; it doubles up to a minute.
        std::chrono::seconds firstReopen{5};
    };
    LineOwner(const InventoryEntry &projector, const Settings &settings, QObject *parent = nullptr,
              Clock &clock = Clock::steady());

    void start();
    // Each command completes exactly once. wait: how long one may wait for the projector to be
    // able to take it (zero: not at all).
    void submit(const std::vector<Command> &commands, const Completion &completion,
                std::chrono::seconds wait);
    // A hold button kept down, as a finger keeps the panel's: pressed in its turn, it repeats
    // at its own period until release() with the number this returns, and then completes. One
    // let go before its turn is sent once, as a tap on the panel's button is.
    using HoldId = quint64;
    HoldId press(const HoldCommand &button, const Completion &completion);
    void release(HoldId hold);

    const InventoryEntry &entry() const { return entry_; }
    // The line has opened, or failed for a reason other than another program holding it: the
    // projector is this daemon's to report on.
    bool isClaimed() const { return claimed_; }
    bool isUp() const { return lineDown_.isEmpty(); }
    // Why the line is down, as its last failure said; empty while it is up.
    const QString &downReason() const { return lineDown_; }
    std::optional<PowerState> power() const { return state_.power; }
    Verdict verdict(const Command &command) const;
    const LineState &state() const { return state_; }
    // What the panel's TXD, RXD and status lines would show of this line, whichever face's
    // command it was.
    const QString &txd() const { return line_.txd(); }
    const QString &rxd() const { return line_.rxd(); }
    const QString &status() const { return line_.status(); }
    void log(Priority priority, const QString &text) const;

signals:
    void claimed();
    void stateChanged(qv7::bridge::LineState::Field field);
    void availabilityChanged(bool online);
    // The line failed again, for another reason than the last time.
    void downReasonChanged();
    void trafficChanged();

private:
    struct Pending {
        Command command;
        Completion completion;       // empty for the daemon's own polls
        std::chrono::seconds wait{}; // how long it may wait for the projector
        Milliseconds deadline{};     // on the line's clock
        HoldId hold = 0;             // a hold kept down until it is released
    };

    void open();
    void claim();
    void onOpened();
    void announce();
    void onLost(const Failure &failure);
    void onDone(const Result &result);
    void take(const Reading &reading);
    void poll(const Command &query);
    // Sends what was just queued in its turn, or fails it while the line is down.
    void admit(const Command &first, std::chrono::seconds wait);
    bool canTakeNow(const Command &command) const;
    void dispatch();
    void dropExpired();
    void failQueued();
    void notSent(const Pending &pending, const QString &why);
    void armExpiry();
    void setPower(std::optional<PowerState> power);
    void setLink(Link link);
    template <typename Value>
    void set(LineState::Field field, Value LineState::*member, Value value);

    InventoryEntry entry_;
    Settings settings_;
    Clock &clock_;
    Line line_;
    LineTimer reopen_;
    std::chrono::seconds backOff_;
    LineState state_;
    bool claimed_ = false;
    bool announced_ = false; // this open has been published
    QString lineDown_;       // why the line is down; empty while it is open
    // Every command for this line, whichever face asked, waits here; the projector has at
    // most one on the line, whose completion this is.
    std::deque<Pending> queue_;
    Completion inFlight_;
    HoldId heldNow_ = 0; // the hold on the line, until it is released
    HoldId lastHold_ = 0;
    LineTimer powerPoll_;
    LineTimer lampPoll_;
    LineTimer expiry_;
};

} // namespace qv7::bridge
