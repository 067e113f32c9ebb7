#include "enginefixture.h"

#include "protocol/commandtable.h"

namespace qv7::test {

namespace {

const HoldCommand &holdButton(const char *control)
{
    const HoldCommand *command = findHold(control);
    if (!command)
        qFatal("no hold button named %s", control);
    return *command;
}

} // namespace

EngineOnLine::EngineOnLine(Clock &clock)
    : engine(Line::Discipline::Panel, nullptr, clock)
    , view(engine, nullptr, clock)
{
    QObject::connect(&engine, &Line::failed, &engine,
                     [this](const Failure &failure) { failures << failure.description; });
    engine.setDevice(1, line.slavePath());
    engine.start();
}

bool EngineOnLine::click(const char *control)
{
    const OneShotCommand *command = findOneShot(control);
    if (!command)
        qFatal("no one-shot button named %s", control);
    return engine.click(*command);
}

void EngineOnLine::press(const char *control)
{
    engine.press(holdButton(control));
}

void EngineOnLine::release(const char *control)
{
    engine.release(holdButton(control));
}

} // namespace qv7::test
