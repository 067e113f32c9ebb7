#pragma once

#include "engine/line.h"
#include "sim/server.h"

#include <memory>

namespace qv7 {

// Puts COM1 on a simulated projector: a pseudo-terminal served by this process, so the panel
// drives a projector that behaves like one over a real serial line; on Windows a port on
// loopback. Throws CommError when neither can be had.
std::unique_ptr<sim::SimulatorServer>
simulateProjectorOnCom1(Line &engine, const sim::ProjectorSettings &settings = {});

} // namespace qv7
