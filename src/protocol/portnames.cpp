#include "portnames.h"

namespace qv7 {

std::string defaultPortDevice(int port)
{
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

} // namespace qv7
