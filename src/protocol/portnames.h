#pragma once

#include <string>
#include <string_view>

namespace qv7 {

// The platform's device for a port number: COMn on Windows, /dev/ttyS(n-1) elsewhere.
std::string defaultPortDevice(int port);

// The path Windows opens a port by. COM1 to COM9 open by their bare names, COM10 and above
// only in the device namespace, \\.\COM10, which takes them all; any other name is passed on
// as it is.
std::string windowsDevicePath(std::string_view name);

} // namespace qv7
