#pragma once

#include "commerror.h"
#include "engine.h"
#include "protocol/commandwords.h"
#include "protocol/decoding.h"
#include "protocol/linesettings.h"
#include "transport.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

namespace qv7 {

// Where a program finds its projector: a device path or a network port name, the line's
// settings, and how long a network port may take to connect; reports name it as the user
// did ("hall (/dev/ttyUSB0)", or the device alone).
struct Target {
    QString device;
    QString name;
    LineSettings settings = *parseLineSettings(kFastLineSettings);
    int connectTimeoutMs = TransportOptions{}.connectTimeoutMs;
};

// How one command ended: with its reply, read as a value when it was a query, or with a
// failure (the line's, or no reply within the reply window).
struct Result {
    Command command;
    QByteArray reply;               // the bytes that came back (for a hold: after its last send)
    QString rendering;              // the RXD line, or the no-reply mark
    bool query = false;             // the command's reply reads as a value
    std::optional<Reading> reading; // that value, when the reply decodes
    std::optional<Failure> failure;
};

// The projector as programs use it, on an engine of its own that behaves as the panel does:
// one call opens the line, and a command goes out as the panel's button would send it (a hold
// is pressed, repeats at its own period for its count of sends, or until release(), and is let
// go). One command is
// on the line at a time; it completes exactly once through done(), when its reply's carriage
// return closes the engine's reply window, or when that window closes with whatever came.
// Whoever owns the line keeps the queue of what is to follow.
//
// When the line fails, the command in flight completes with the failure, failed() follows and
// the line is closed.
class Projector : public QObject {
    Q_OBJECT

public:
    explicit Projector(QObject *parent = nullptr, Clock &clock = Clock::steady());

    // False when it failed; failed() then follows from the event loop. opened() says when the
    // line can take requests: at once for a serial device, once a network port is connected.
    bool open(const Target &target);
    void close();
    bool isOpen() const { return open_; }
    // A command is on the line.
    bool busy() const { return inFlight_.has_value(); }

    // Sends a command while the line is open and nothing is in flight; false otherwise.
    bool request(const Command &command);
    // Lets go of the hold in flight that has no count, as the mouse lets go of the panel's
    // button; it completes with the reply to its latest send that had one.
    void release();

    // The line's traffic as the panel's TXD, RXD and status lines show it.
    const QString &txd() const { return engine_.txd(); }
    const QString &rxd() const { return engine_.rxd(); }
    const QString &status() const { return engine_.status(); }

signals:
    void opened();
    void done(const qv7::Result &result);
    void failed(const qv7::Failure &failure);
    void trafficChanged();

private:
    void onWindowClosed(const ReplyWindow &window);
    void completeLater(const ReplyWindow &window);
    void complete(const ReplyWindow &window);
    void onFailed(const Failure &failure);
    void onPortOpenChanged(bool open);

    Engine engine_;
    std::optional<Result> inFlight_;
    ReplyWindow holdReply_; // the latest answered window of the hold in flight
    unsigned serial_ = 0;   // of the command in flight
    bool open_ = false;
    bool opening_ = false; // open() has been asked; the line is not open yet
};

} // namespace qv7

Q_DECLARE_METATYPE(qv7::Result)
