#pragma once

#include "inventory/inventory.h"
#include "engine/projector.h"
#include "log.h"
#include "protocol/metrics.h"

#include <QDeadlineTimer>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace qv7::bridge {

// How a command from a face ended: its result, or why it was never sent.
using Completion = std::function<void(const Result &result, const QString &notSent)>;

// One projector's line and everything the daemon knows of it, shared by the faces that serve
// it (MQTT, PJLink). The line is kept open and polled; a line that fails or cannot be opened
// is tried again after 5 s, doubling up to a minute. Commands from every face and the polls
// share one queue with one command in flight, so that faces never interleave bytes on the
// line and what one face learns the others see. Commands the projector cannot take yet wait
// until it is on, for as long as their face allows; while the line is down they fail at once.
class LineOwner : public QObject {
    Q_OBJECT

public:
    struct Settings {
        bool verbose = false;
        int connectTimeoutMs = TransportOptions{}.connectTimeoutMs;
    };
    // The mutes as last set through any face; the projector has no query for them.
    struct Mutes {
        bool video = false;
        bool audio = false;
    };

    LineOwner(const InventoryEntry &projector, const Settings &settings, QObject *parent = nullptr);

    void start();
    // Each command completes exactly once. wait: how long one may wait for the projector to be
    // able to take it (zero: not at all).
    void submit(const std::vector<Command> &commands, const Completion &completion,
                std::chrono::seconds wait);

    const InventoryEntry &projector() const { return projector_; }
    // The line has opened, or failed for a reason other than another program holding it: the
    // projector is this daemon's to report on.
    bool isClaimed() const { return claimed_; }
    bool isUp() const { return lineDown_.isEmpty(); }
    std::optional<PowerState> power() const { return power_; }
    Mutes mutes() const;
    // The retained state by topic leaf (power, input, lamp_hours, orientation, link, and the
    // video_mute, audio_mute and freeze last set).
    const QMap<QString, QByteArray> &state() const { return state_; }
    // What monitoring is told of it.
    ProjectorSample sample() const;
    void log(Priority priority, const QString &text) const;

signals:
    void claimed();
    void stateChanged(const QString &leaf, const QByteArray &value);
    void availabilityChanged(bool online);

private:
    struct Pending {
        Command command;
        Completion completion;       // empty for the daemon's own polls
        std::chrono::seconds wait{}; // how long it may wait for the projector
        QDeadlineTimer deadline{};
    };

    void open();
    void claim();
    void onOpened();
    void onLost(const Failure &failure);
    void onDone(const Result &result);
    void take(const Reading &reading);
    void poll(const Command &query);
    bool canTakeNow(const Command &command) const;
    void dispatch();
    void dropExpired();
    void failQueued();
    void notSent(const Pending &pending, const QString &why);
    void armExpiry();
    void setPower(std::optional<PowerState> power);
    void setLink(const QString &word);
    void setState(const QString &leaf, const QByteArray &value);

    InventoryEntry projector_;
    Settings settings_;
    Projector line_;
    QTimer reopen_;
    std::chrono::seconds backOff_;
    QMap<QString, QByteArray> state_;
    std::optional<PowerState> power_;
    std::optional<double> lastAnswer_; // Unix time
    bool claimed_ = false;
    QString lineDown_; // why the line is down; empty while it is open
    std::deque<Pending> queue_;
    std::optional<Pending> inFlight_;
    QTimer powerPoll_;
    QTimer lampPoll_;
    QTimer expiry_;
};

} // namespace qv7::bridge
