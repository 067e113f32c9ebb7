#pragma once

#include "clock.h"
#include "commerror.h"
#include "linestate.h"
#include "serialcontrol.h"
#include "transport.h"

#include "protocol/commandtable.h"
#include "protocol/commandwords.h"
#include "protocol/decoding.h"
#include "protocol/linesettings.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv7 {

struct HoldCommand;
struct OneShotCommand;

// A command on its way to the line: its code, for a hold which send it is (1 for the press,
// then one more for each repetition; 0 for a click), and how long what the traffic lines show
// of it stays (the hold's display time-out, Timer4's interval).
struct Transmission {
    std::string code;
    int holdSend = 0;
    int displayTimeout = kDisplayTimeoutMs;
};

// What the current reply window has gathered so far, and its reading when it answers the
// query sent.
struct Reception {
    std::string text;
    std::optional<Reading> reading;
};

// The design's window-level variables that the line's behaviour keeps.
struct WindowVariables {
    std::string CurrentCommand;
    std::string ReceivedText;
    std::uint8_t AwaitingReply = 0;
    std::uint8_t HeldButton = 0;
    std::uint8_t ArrowMode = 0;
};

// Those variables and the timers, as they stand: read by diagnostics and tests, written only by
// the line.
struct DesignState : WindowVariables {
    struct Timer {
        int interval = 0;
        bool enabled = false;
    };
    Timer Timer1;
    Timer Timer2;
};

// How one reply window ended: what came in it (nothing: no answer), its reading, and whether
// a hold is still down and will send again.
struct ReplyWindow {
    std::string reply;
    std::optional<Reading> reading;
    bool holding = false;
};

// Where a program finds its projector: a device path or a network port name, the line's
// settings, and how long a network port may take to connect; reports name it as the user
// did ("hall (/dev/ttyUSB0)", or the device alone).
struct Target {
    QString device;
    QString name;
    LineSettings settings = *parseLineSettings(kFastLineSettings);
    int connectTimeoutMs = TransportOptions{}.connectTimeoutMs;
};

// How one request ended: with its reply, read as a value when it was a query, or with a
// failure (the line's, or no reply within the reply window).
struct Result {
    Command command;
    QByteArray reply;               // the bytes that came back (for a hold: after its last send)
    bool query = false;             // the command's reply reads as a value
    std::optional<Reading> reading; // that value, when the reply decodes
    std::optional<Failure> failure;
};

// What the RXD line shows of a request once it ended: its reply's rendering, or the no-reply
// mark; nothing when the line failed.
QString replyLine(const Result &result);

// How a command submitted to a shared line ended: its result, or why it was never sent.
using Completion = std::function<void(const Result &result, const QString &notSent)>;

// Who asked for a command on a shared line. client: someone who may go away (a connection, a
// page); a command whose client has gone before its turn is not sent. origin: where it came
// from, as the owner's log names it ("web page 127.0.0.5"); empty for the line's own.
struct Asker {
    const QObject *client = nullptr;
    QString origin;
};

// One serial line and the design's behaviour on it, without a window: transmission through
// Hyouji, reception and its reading, the reply window, the hold repetition with its arrow
// modes, and the port and speed switch. What the traffic and status lines show of it is
// built by a TrafficView from its signals.
//
// It runs under one of two disciplines:
// - Panel: the window's handlers (click, press, release, the port switch) drive it as the
//   design says; a click inside a reply window takes that window over, and each window runs
//   for its whole length.
// - Requests: a program opens it on a target and sends one request at a time, as the panel's
//   button would send it (a hold is pressed, repeats at its own period for its count of sends,
//   or until it is let go, and is let go). A reply's carriage return closes its window at once,
//   and the request completes exactly once through done(). A failure completes the request in
//   flight with it, is reported through failed() and closes the line.
// - Shared: requests from many (every face of the daemon, and its polls) wait in one queue in
//   front of the one in flight, so that nobody interleaves bytes on the line and what one
//   learns the others see. The line follows the projector's state from every reply and admits
//   a command only when the projector can take it; one that cannot waits for as long as its
//   submitter allows. While the line is down commands fail at once.
//
// It announces what happened as values: each transmission, each reception with its reading, a
// reply window that closes unanswered, a hold let go, and the end of each reply window.
//
// Failure rule: a handler ends at its failing step, and each burst of failures is reported
// once through failed(), from the event loop, so that no report opens inside the port's own
// call stack. A hold that a failure ends is released as the mouse would release it.
class Line : public QObject {
    Q_OBJECT

public:
    enum class Discipline { Panel, Requests, Shared };

    explicit Line(Discipline discipline, QObject *parent = nullptr, Clock &clock = Clock::steady());
    ~Line() override;

    // The device that a port number stands for, and how long a network port may take to
    // connect; both count from the next open.
    void setDevice(short port, const QString &device) { comm_.setDevice(port, device); }
    void setConnectTimeout(int milliseconds) { comm_.setConnectTimeout(milliseconds); }
    void setPortName(const QString &name) { comm_.setPortName(name); }

    // Start values of the variables, then COM1 opened at 19200 baud; false if it failed. A
    // network port is open once its connection is made (portOpenChanged), or reports failed().
    bool start();
    // A one-shot button's click, a hold button's press and release. A click is false when
    // its command could not be sent.
    bool click(const OneShotCommand &command);
    // A code that no button stands for, such as a raw code from a script, sent as a click
    // sends it; the reply to a query code is decoded all the same.
    bool send(std::string_view code);
    void press(const HoldCommand &command);
    void release(const HoldCommand &command);
    // A hold as a program asks for it: pressed, repeated at its own period, and let go right
    // after its last send, whose reply window then runs as a click's does.
    void hold(const HoldCommand &command, int sends);
    // Closes the port (or gives up its connection being made) and opens port 1 or 2 instead; a
    // failure is reported at once and the other port number is kept for the next try. True
    // when the chosen port is open, or connecting.
    bool switchPort(short chosen);
    // True when the line took the settings (or the port is closed and keeps them).
    bool chooseSpeed(std::string_view settings);
    bool chooseSpeed(const LineSettings &settings);
    bool closePort();
    bool isOpen() const { return comm_.PortOpen(); }
    // The port number the serial control is set to (its CommPort).
    short commPort() const { return comm_.CommPort(); }
    // A hold button is down (or a program's hold has sends to go).
    bool holding() const { return vars_.HeldButton != 0; }

    DesignState designState() const;

    // Requests. False when the line could not be opened; failed() then follows from the event
    // loop. opened() says when the line can take requests: at once for a serial device, once a
    // network port is connected.
    bool open(const Target &target);
    void close();
    bool isReady() const { return ready_; }
    // A request is on the line.
    bool busy() const { return inFlight_.has_value(); }
    // Sends a request while the line is ready and nothing is in flight; false otherwise.
    bool request(const Command &command);

    // Shared. Each command completes exactly once. wait: how long one may wait for the
    // projector to be able to take it (zero: not at all). A line takes at most kMostQueued
    // commands waiting.
    static constexpr std::size_t kMostQueued = 64;
    void submit(const std::vector<Command> &commands, const Completion &completion,
                std::chrono::seconds wait, const Asker &asker = {});
    // A hold button kept down, as a finger keeps the panel's: pressed in its turn, it repeats
    // at its own period until letGo() with the number this returns, or for kLongestHold at
    // most, and then completes with the reply to its latest send that had one. One let go
    // before its turn is sent once, as a tap on the panel's button is.
    using HoldId = quint64;
    static constexpr std::chrono::seconds kLongestHold{60};
    HoldId holdDown(const HoldCommand &button, const Completion &completion,
                    const Asker &asker = {});
    void letGo(HoldId hold);
    // A query of the line's own: no one waits for it, and one of each waiting is enough.
    void poll(const Command &query);
    Verdict verdict(const Command &command) const;
    const LineState &state() const { return state_; }
    // The request on the line is one of the line's own polls.
    bool polling() const { return polling_; }
    bool isUp() const { return down_.isEmpty(); }
    // Why the line is down, as its last failure said; empty while it is up.
    const QString &downReason() const { return down_; }

signals:
    void portOpenChanged(bool open);
    // A network port is connecting: the window shows it is busy.
    void connectingChanged(bool connecting);
    // One failure a burst, as an operator should read it.
    void failed(const qv7::Failure &failure);

    void transmitted(const qv7::Transmission &transmission);
    void received(const qv7::Reception &reception);
    // The reply window closes with nothing received since the last transmission.
    void unanswered();
    // A hold was let go, by its release or by a failure.
    void released();
    void replyWindowClosed(const qv7::ReplyWindow &window);

    // Requests: the line is ready, and a request ended.
    void opened();
    void done(const qv7::Result &result);

    // Shared: a request went out (with its asker's origin), one waits for the projector, one
    // was dropped unsent, and what the line knows of the projector changed.
    void sending(const qv7::Command &command, const QString &origin);
    void waiting(const qv7::Command &command);
    void dropped(const qv7::Command &command, const QString &why);
    // A hold was let go because it had lasted kLongestHold.
    void heldTooLong(const qv7::Command &command);
    void stateChanged(qv7::LineState::Field field);

private:
    // Ticks of the repeat timer and the reply window.
    void Timer1_Timer();
    void Timer2_Timer();

    void Hyouji(const std::string &Text, std::uint8_t SendFlag);
    void MSComm1_OnComm();
    void sendCommand(std::string_view code);
    void pressSteps(const HoldCommand &command);
    void releaseSteps(const HoldCommand &command);
    void closeReplyWindow();
    void afterHoldSend();

    template <typename Handler> bool guarded(Handler handler);
    void reportFailure(const Failure &failure);
    void onPortOpenChanged(bool open);
    void onWindowClosed(const ReplyWindow &window);
    void completeLater(const ReplyWindow &window);
    void complete(const ReplyWindow &window);
    void failRequest(const Failure &failure);

    struct Pending {
        Command command{};
        Completion completion{};     // empty for the line's own polls
        std::chrono::seconds wait{}; // how long it may wait for the projector
        Milliseconds deadline{};     // on the line's clock
        HoldId hold = 0;             // a hold kept down until it is let go
        QPointer<const QObject> client{};
        bool forClient = false; // sent only while its client is there
        QString origin{};
    };
    bool hasRoomFor(const std::vector<Command> &commands, const Completion &completion);
    void admit(const Command &first, std::chrono::seconds wait);

    bool canTakeNow(const Command &command) const;
    void dispatch();
    void settle(const Result &result);
    void goDown();
    void dropExpired();
    void failQueued();
    void notSent(const Pending &pending, const QString &why);
    void armExpiry();
    void take(const Reading &reading);
    void setPower(std::optional<PowerState> power);
    template <typename Value>
    void set(LineState::Field field, Value LineState::*member, Value value);

    const Discipline discipline_;
    Clock &clock_;
    SerialControl comm_;
    LineTimer timer1_;
    LineTimer timer2_;

    WindowVariables vars_;
    QString portSettings_;
    // The reading of what the current reply window gathered.
    std::optional<Reading> reading_;
    // The hold button that is down: its release, or a failure first, ends the hold. A
    // program's hold counts its sends.
    const HoldCommand *pressed_ = nullptr;
    int holdSends_ = 0;
    int holdCount_ = 0; // 0: until the release
    // What the traffic lines show of the next transmission stays this long (ms).
    int displayTimeout_ = kDisplayTimeoutMs;
    bool reportPending_ = false;
    // Whether this silence has been looked into: the search for other holders of the line is
    // made once after the line opens or answers, not at every unanswered command.
    bool sharingChecked_ = false;

    // Requests: the one in flight, the latest answered window of its hold, and whether the
    // line is ready for them.
    std::optional<Result> inFlight_;
    ReplyWindow holdReply_;
    unsigned serial_ = 0; // of the request in flight
    bool ready_ = false;
    bool opening_ = false; // open() has been asked; the line is not ready yet

    // Shared: everyone's commands wait here, in front of the one in flight, whose completion
    // and hold this is.
    std::deque<Pending> queue_;
    Completion inFlightCompletion_;
    HoldId heldNow_ = 0;
    HoldId lastHold_ = 0;
    bool polling_ = false;
    LineTimer expiry_;
    LineTimer holdLimit_;
    LineState state_;
    QString down_ = QStringLiteral("the line is not open yet");
};

} // namespace qv7

Q_DECLARE_METATYPE(qv7::Transmission)
Q_DECLARE_METATYPE(qv7::Reception)
Q_DECLARE_METATYPE(qv7::ReplyWindow)
Q_DECLARE_METATYPE(qv7::Result)
