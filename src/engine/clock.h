#pragma once

#include <QObject>

#include <chrono>
#include <memory>

namespace qv7 {

using Milliseconds = std::chrono::milliseconds;

class Clock;

// A timer of the line on the clock it was made by: single-shot or repeating. Starting a running
// timer restarts its count, and so does giving a running timer another interval, as the
// design's timers do when enabled again or given a new period.
class LineTimer : public QObject {
    Q_OBJECT

public:
    LineTimer(Clock &clock, QObject *parent = nullptr);
    ~LineTimer() override;

    void setSingleShot(bool singleShot) { singleShot_ = singleShot; }
    bool isSingleShot() const { return singleShot_; }
    void setInterval(Milliseconds interval);
    void setInterval(int milliseconds) { setInterval(Milliseconds(milliseconds)); }
    Milliseconds intervalTime() const { return interval_; }
    int interval() const { return int(interval_.count()); }
    void start();
    void start(Milliseconds interval);
    void stop();
    bool isActive() const { return active_; }

    // The design's Enabled switch.
    bool Enabled() const { return active_; }
    void setEnabled(bool enabled) { enabled ? start() : stop(); }

signals:
    void timeout();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    friend class Clock;

    Clock &clock_;
    int qtTimer_ = 0; // on the steady clock
    Milliseconds interval_{0};
    // When it fires next, on its clock.
    Milliseconds due_{0};
    bool singleShot_ = false;
    bool active_ = false;
};

// Where the line's timers and deadlines take their time from. The programs run on the steady
// clock with Qt's precise timers (periods go down to 5 ms, and coarse timers drift by up to
// 5 %); a test makes a clock of its own and moves it on instead of waiting.
class Clock {
public:
    virtual ~Clock() = default;

    // The steady clock that every program uses.
    static Clock &steady();

    // Time since an arbitrary start, never going back.
    virtual Milliseconds now() const = 0;

protected:
    friend class LineTimer;

    // A timer was started (at now() + its interval) or stopped, or goes away.
    virtual void armed(LineTimer &timer) = 0;
    virtual void disarmed(LineTimer &timer) = 0;

    static Milliseconds due(const LineTimer &timer) { return timer.due_; }
    // The steady clock's timers are Qt's.
    static void startQtTimer(LineTimer &timer);
    static void stopQtTimer(LineTimer &timer);
    // Fires a due timer: a repeating one is due again one interval later, counted from when it
    // was due, so that its period does not drift by the time each tick takes.
    static void fire(LineTimer &timer);
};

} // namespace qv7
