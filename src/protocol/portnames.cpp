#include "portnames.h"

#include <algorithm>

namespace qv7 {

std::string defaultPortDevice(int port)
{
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

std::string windowsDevicePath(std::string_view name)
{
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const auto isLetter = [](char c, char upper) { return c == upper || c == upper + ('a' - 'A'); };
    const bool comPort = name.size() > 3 && isLetter(name[0], 'C') && isLetter(name[1], 'O') &&
                         isLetter(name[2], 'M') &&
                         std::all_of(name.begin() + 3, name.end(), isDigit);
    return comPort ? "\\\\.\\" + std::string(name) : std::string(name);
}

} // namespace qv7
