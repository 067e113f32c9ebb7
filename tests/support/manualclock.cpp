#include "manualclock.h"

#include <QCoreApplication>

#include <algorithm>

namespace qv7::test {

void ManualClock::armed(LineTimer &timer)
{
    std::erase(armed_, &timer);
    armed_.push_back(&timer);
}

void ManualClock::disarmed(LineTimer &timer)
{
    std::erase(armed_, &timer);
}

void ManualClock::advance(Milliseconds by)
{
    const Milliseconds until = now_ + by;
    QCoreApplication::sendPostedEvents();
    for (;;) {
        // The earliest due, and of those the first started.
        const auto next =
            std::ranges::min_element(armed_, {}, [](LineTimer *timer) { return due(*timer); });
        if (next == armed_.end() || due(**next) > until)
            break;
        now_ = std::max(now_, due(**next));
        fire(**next);
        QCoreApplication::sendPostedEvents();
    }
    now_ = until;
}

} // namespace qv7::test
