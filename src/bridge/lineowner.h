#pragma once

#include "engine/clock.h"
#include "engine/line.h"
#include "engine/trafficview.h"
#include "inventory/inventory.h"
#include "log.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

namespace qv7::bridge {

// One projector of the inventory as the daemon keeps it: its shared line, which every face
// (MQTT, PJLink, the web pages) submits to, kept open and polled. The projector is published
// from its line's first exchange, by which a program that holds it without a lock would have
// been found. A line that fails or cannot be opened is tried again after 5 s, doubling up to a
// minute. What happens on the line is logged here, one line per event.
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
    Line &line() { return line_; }
    const Line &line() const { return line_; }
    // What the panel's TXD, RXD and status lines would show of this line, whichever face's
    // command it was.
    const TrafficView &traffic() const { return traffic_; }
    const InventoryEntry &entry() const { return entry_; }
    // The line has opened, or failed for a reason other than another program holding it: the
    // projector is this daemon's to report on.
    bool isClaimed() const { return claimed_; }
    void log(Priority priority, const QString &text) const;

signals:
    void claimed();
    void availabilityChanged(bool online);
    // The line failed again, for another reason than the last time.
    void downReasonChanged();
    // What traffic() shows has changed.
    void trafficChanged();

private:
    void open();
    void claim();
    void onOpened();
    void announce();
    void onLost(const Failure &failure);
    void onDone(const Result &result);
    void onStateChanged(LineState::Field field);

    InventoryEntry entry_;
    Settings settings_;
    Line line_;
    TrafficView traffic_;
    LineTimer reopen_;
    std::chrono::seconds backOff_;
    bool claimed_ = false;
    bool announced_ = false;          // this open has been published
    bool open_ = false;               // since the last failure
    QString lastFailure_;             // the last failure's description, to log each reason once
    std::optional<PowerState> power_; // as last logged

    LineTimer powerPoll_;
    LineTimer lampPoll_;
};

} // namespace qv7::bridge
