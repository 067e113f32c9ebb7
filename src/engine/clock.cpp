#include "clock.h"

#include <QTimerEvent>

#include <algorithm>
#include <utility>

namespace qv7 {

namespace {

class SteadyClock final : public Clock {
public:
    Milliseconds now() const override
    {
        return std::chrono::duration_cast<Milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }

protected:
    void armed(LineTimer &timer) override { startQtTimer(timer); }
    void disarmed(LineTimer &timer) override { stopQtTimer(timer); }
};

} // namespace

Clock &Clock::steady()
{
    static SteadyClock clock;
    return clock;
}

void Clock::startQtTimer(LineTimer &timer)
{
    stopQtTimer(timer);
    timer.qtTimer_ = timer.startTimer(timer.interval_, Qt::PreciseTimer);
}

void Clock::stopQtTimer(LineTimer &timer)
{
    if (timer.qtTimer_ != 0)
        timer.killTimer(std::exchange(timer.qtTimer_, 0));
}

void Clock::fire(LineTimer &timer)
{
    if (timer.singleShot_) {
        timer.active_ = false;
        timer.clock_.disarmed(timer);
    } else {
        timer.due_ += std::max(timer.interval_, Milliseconds(1));
    }
    emit timer.timeout();
}

LineTimer::LineTimer(Clock &clock, QObject *parent)
    : QObject(parent)
    , clock_(clock)
{
}

LineTimer::~LineTimer()
{
    stop();
}

void LineTimer::setInterval(Milliseconds interval)
{
    interval_ = interval;
    if (active_)
        start();
}

void LineTimer::start()
{
    due_ = clock_.now() + interval_;
    active_ = true;
    clock_.armed(*this);
}

void LineTimer::start(Milliseconds interval)
{
    interval_ = interval;
    start();
}

void LineTimer::stop()
{
    if (!std::exchange(active_, false))
        return;
    clock_.disarmed(*this);
}

void LineTimer::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == qtTimer_ && active_)
        Clock::fire(*this);
}

} // namespace qv7
