#include "networkmodule.h"
#ifdef Q_OS_WIN
#include "winserialtransport.h"
#else
#include "serialtransport.h"
#endif

#include "protocol/networkport.h"

#include <QFileInfo>
#ifdef QV7_NETWORK_MODULE_FILE
#include <QDir>
#include <QLibrary>
#endif

namespace qv7 {

namespace {

using MakeNetworkTransport = decltype(&qv7MakeNetworkTransport);

#ifdef QV7_NETWORK_MODULE_FILE
// The module is looked for in $QV7RSC_MODULE_DIR (which the build tree's tests set), beside
// the program (the build tree), then where the package installs it. Once loaded it stays.
MakeNetworkTransport networkTransports()
{
    static MakeNetworkTransport make = nullptr;
    if (make)
        return make;
    const QString programDir =
        QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget()).path();
    QStringList dirs{
        programDir,
        QDir::cleanPath(programDir + QStringLiteral("/" QV7_NETWORK_MODULE_FROM_PROGRAM))};
    if (const QString dir = qEnvironmentVariable("QV7RSC_MODULE_DIR"); !dir.isEmpty())
        dirs.prepend(dir);
    const QString file = QStringLiteral(QV7_NETWORK_MODULE_FILE);
    for (const QString &dir : std::as_const(dirs)) {
        if (!QFileInfo::exists(dir + u'/' + file))
            continue;
        QLibrary module(dir + u'/' + file);
        make = reinterpret_cast<MakeNetworkTransport>(module.resolve("qv7MakeNetworkTransport"));
        if (!make)
            throw CommError(
                FailureKind::OpenFailed,
                QStringLiteral("network ports cannot be used: %1").arg(module.errorString()));
        return make;
    }
    throw CommError(FailureKind::OpenFailed,
                    QStringLiteral("network ports cannot be used: their module %1 is in none of "
                                   "%2; is the qv7rsc-network package installed?")
                        .arg(file, dirs.join(QStringLiteral(", "))));
}
#else
MakeNetworkTransport networkTransports()
{
    return &qv7MakeNetworkTransport;
}
#endif

} // namespace

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
    return std::unique_ptr<Transport>(networkTransports()(*parsed.port, options.connectTimeoutMs));
}

} // namespace qv7
