#include "simulation.h"

namespace qv7 {

std::unique_ptr<sim::SimulatorServer>
simulateProjectorOnCom1(Engine &engine, const sim::ProjectorSettings &settings)
{
    auto projector = std::make_unique<sim::SimulatorServer>(settings);
    if (!projector->openPseudoTerminal())
        throw CommError(FailureKind::OpenFailed,
                        QStringLiteral("simulated projector: %1").arg(projector->errorString()));
    engine.setDevice(1, projector->portName());
    return projector;
}

} // namespace qv7
