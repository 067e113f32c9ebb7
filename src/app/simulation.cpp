#include "simulation.h"

namespace qv7 {

std::unique_ptr<sim::SimulatorServer>
simulateProjectorOnCom1(Line &engine, const sim::ProjectorSettings &settings)
{
    auto projector = std::make_unique<sim::SimulatorServer>(settings);
#ifdef Q_OS_WIN
    // Windows has no pseudo-terminals: the projector serves a loopback port, and COM1 is that.
    const bool opened = projector->listen(QStringLiteral("tcp://127.0.0.1:0"));
#else
    const bool opened = projector->openPseudoTerminal();
#endif
    if (!opened)
        throw CommError(FailureKind::OpenFailed,
                        QStringLiteral("simulated projector: %1").arg(projector->errorString()));
    engine.setDevice(1, projector->portName());
    return projector;
}

} // namespace qv7
