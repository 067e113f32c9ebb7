#pragma once

#include "engine/engine.h"

namespace qv7::test {

// The engine's own state, its serial control and its timer ticks, for tests that check them by
// the names they have in the engine.
class EngineProbe {
public:
    explicit EngineProbe(Engine &engine)
        : engine_(engine)
    {
    }

    SerialControl &MSComm1() const { return engine_.comm_; }
    const std::string &CurrentCommand() const { return engine_.currentCommand_; }
    const std::string &ReceivedText() const { return engine_.receivedText_; }
    std::uint8_t AwaitingReply() const { return engine_.awaitingReply_; }
    std::uint8_t HeldButton() const { return engine_.heldButton_; }
    std::uint8_t ArrowMode() const { return engine_.arrowMode_; }
    void Timer1_Timer() const { engine_.Timer1_Timer(); }
    void Timer2_Timer() const { engine_.Timer2_Timer(); }

private:
    Engine &engine_;
};

inline EngineProbe probe(Engine &engine)
{
    return EngineProbe(engine);
}

} // namespace qv7::test
