#pragma once

#include "engine/line.h"
#include "engine/trafficview.h"
#include "ptypair.h"

#include <QStringList>

namespace qv7::test {

// The line started as the panel starts it, with COM1 on a pseudo-terminal, its traffic lines
// shown, and every reported failure recorded.
struct EngineOnLine {
    explicit EngineOnLine(Clock &clock = Clock::steady());

    PtyPair line;
    Line engine;
    TrafficView view;
    QStringList failures;

    // A one-shot button's click, or a hold button's press and release, by its design name.
    bool click(const char *control);
    void press(const char *control);
    void release(const char *control);
};

} // namespace qv7::test
