#pragma once

#include <string>

namespace qv7 {

// The platform's device for a port number: COMn on Windows, /dev/ttyS(n-1) elsewhere.
std::string defaultPortDevice(int port);

} // namespace qv7
