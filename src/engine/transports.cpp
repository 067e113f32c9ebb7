#include "networktransport.h"
#ifdef Q_OS_WIN
#include "winserialtransport.h"
#else
#include "serialtransport.h"
#endif

#include "protocol/networkport.h"

#include <QFileInfo>

namespace qv7 {

QString realDevice(const QString &device)
{
#ifdef Q_OS_UNIX
    // Windows names its ports (COM1) outside the file system.
    if (!isNetworkPortName(device.toStdString())) {
        const QString real = QFileInfo(device).canonicalFilePath();
        if (!real.isEmpty())
            return real;
    }
#endif
    return device;
}

std::unique_ptr<Transport> makeTransport(const QString &device, const TransportOptions &options)
{
    const std::string name = device.toStdString();
    if (!isNetworkPortName(name)) {
#ifdef Q_OS_WIN
        return std::make_unique<WinSerialTransport>(device);
#else
        return std::make_unique<SerialTransport>(device);
#endif
    }
    const NetworkPortName parsed = parseNetworkPort(name);
    if (!parsed.port)
        throw CommError(FailureKind::NoSuchDevice, QString::fromStdString(parsed.error));
    if (parsed.port->protocol == NetworkProtocol::Rfc2217)
        return std::make_unique<Rfc2217Transport>(*parsed.port, options.connectTimeoutMs);
    return std::make_unique<NetworkTransport>(*parsed.port, options.connectTimeoutMs);
}

} // namespace qv7
