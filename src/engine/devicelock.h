#pragma once

#include <QSerialPort>

namespace qv7 {

// Takes an advisory lock on an open port's device; false when another program holds one.
// Programs that lock the device itself rather than a lock file (picocom) see this one too,
// and this one them; root passes TIOCEXCL, but not this.
bool lockDevice(const QSerialPort &port);

} // namespace qv7
