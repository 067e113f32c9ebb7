#pragma once

#include "engine/clock.h"

#include <vector>

namespace qv7::test {

// Time that moves only when the test moves it: the line's timers fire in order of their due
// times as advance() passes them, and what each one queued is delivered before the next, as
// the event loop would deliver it.
class ManualClock : public Clock {
public:
    Milliseconds now() const override { return now_; }
    void advance(Milliseconds by);
    void advance(int milliseconds) { advance(Milliseconds(milliseconds)); }

protected:
    void armed(LineTimer &timer) override;
    void disarmed(LineTimer &timer) override;

private:
    Milliseconds now_{0};
    std::vector<LineTimer *> armed_; // in the order they were started
};

} // namespace qv7::test
