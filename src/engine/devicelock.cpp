#include "devicelock.h"

#ifdef Q_OS_UNIX
#include <sys/file.h>
#endif

namespace qv7 {

bool lockDevice(const QSerialPort &port)
{
#ifdef Q_OS_UNIX
    return ::flock(static_cast<int>(port.handle()), LOCK_EX | LOCK_NB) == 0;
#else
    Q_UNUSED(port);
    return true;
#endif
}

} // namespace qv7
