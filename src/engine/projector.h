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
#include <QTimer>

#include <deque>
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
// one call opens the line; commands queue and go out one at a time, each as the panel's button
// would send it (a hold is pressed, repeats at its own period for its count of sends, and is
// released), and each completes exactly once through done(). A command ends when its reply's
// carriage return arrives, or when the reply window closes with whatever came.
//
// When the line fails, the command in flight completes with the failure, failed() follows and
// the line is closed; queued commands stay queued for the next open.
class Projector : public QObject {
    Q_OBJECT

public:
    explicit Projector(QObject *parent = nullptr);

    // False when it failed; failed() then follows from the event loop.
    bool open(const Target &target);
    void close();
    bool isOpen() const { return open_; }
    // Nothing in flight and nothing queued.
    bool idle() const { return !inFlight_ && queue_.empty(); }

    void request(const Command &command);
    // Drops the queued commands (not the one in flight).
    void clearQueue() { queue_.clear(); }

signals:
    void done(const qv7::Result &result);
    void failed(const qv7::Failure &failure);

private:
    void next();
    void expectReply();
    void onTxd(const QString &text);
    void onRxd(const QString &text);
    void releaseHold();
    void complete();
    void finish(Result result);
    void onFailed(const Failure &failure);

    Engine engine_;
    QTimer window_;
    std::deque<Command> queue_;
    std::optional<Result> inFlight_;
    const HoldCommand *held_ = nullptr; // down until its last send
    int sendsLeft_ = 0;
    bool pressing_ = false;
    bool expecting_ = false;
    bool completing_ = false; // the carriage return came and the end is on its way
    bool open_ = false;
};

} // namespace qv7

Q_DECLARE_METATYPE(qv7::Result)
