#include "serialcontrol.h"

#include "portnames.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace qv7 {

namespace {

constexpr qint64 kInBufferSize = 1024;

QSerialPort::Parity toQt(Parity parity)
{
    switch (parity) {
    case Parity::None:
        return QSerialPort::NoParity;
    case Parity::Even:
        return QSerialPort::EvenParity;
    case Parity::Odd:
        return QSerialPort::OddParity;
    case Parity::Mark:
        return QSerialPort::MarkParity;
    case Parity::Space:
        return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits toQt(StopBits stopBits)
{
    switch (stopBits) {
    case StopBits::One:
        return QSerialPort::OneStop;
    case StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case StopBits::Two:
        return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

// Whether the driver takes bytes now. Qt's flush() treats a full line as a write error, so
// it is only asked to write when there is room; otherwise the bytes wait in the transmit
// buffer for the port's own write notification.
bool driverHasRoom(const QSerialPort &port)
{
#ifdef Q_OS_UNIX
    pollfd line{static_cast<int>(port.handle()), POLLOUT, 0};
    return ::poll(&line, 1, 0) == 1 && (line.revents & POLLOUT);
#else
    Q_UNUSED(port);
    return true;
#endif
}

} // namespace

QString describeOpenFailure(QSerialPort::SerialPortError error, const QString &systemText)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return QStringLiteral("no such device; is the cable or adapter plugged in?");
    case QSerialPort::PermissionError:
        // Qt reports a held lock file and a busy device as permission errors.
        if (systemText.contains(QLatin1String("lock"), Qt::CaseInsensitive) ||
            systemText.contains(QLatin1String("busy"), Qt::CaseInsensitive))
            return QStringLiteral("in use by another program; close it and try again");
        return QStringLiteral("permission denied; is your user in the dialout group?");
    case QSerialPort::OpenError:
        return QStringLiteral("already open");
    default:
        return QStringLiteral("cannot be opened (%1)").arg(systemText);
    }
}

SerialControl::SerialControl(QObject *parent)
    : QObject(parent)
    , lineSettings_(*parseLineSettings(settings_.toStdString()))
{
    port_.setReadBufferSize(kInBufferSize);
    connect(&port_, &QSerialPort::readyRead, this, [this] {
        commEvent_ = comEvReceive;
        emit OnComm();
    });
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialControl::onErrorOccurred);
}

SerialControl::~SerialControl() = default;

void SerialControl::setDevice(short port, const QString &device)
{
    devices_.insert(port, device);
}

QString SerialControl::device(short port) const
{
    return devices_.value(port, QString::fromStdString(defaultPortDevice(port)));
}

QString SerialControl::portLabel() const
{
    return QStringLiteral("COM%1 (%2)").arg(commPort_).arg(device(commPort_));
}

void SerialControl::fail(const QString &what) const
{
    throw CommError(QStringLiteral("%1: %2").arg(portLabel(), what));
}

void SerialControl::setCommPort(short port)
{
    if (port_.isOpen())
        fail(QStringLiteral("the port number cannot change while the port is open"));
    if (port < 1)
        fail(QStringLiteral("%1 is not a port number").arg(port));
    commPort_ = port;
}

void SerialControl::setSettings(const QString &settings)
{
    const auto parsed = parseLineSettings(settings.toStdString());
    if (!parsed)
        fail(QStringLiteral("\"%1\" is not a line setting").arg(settings));
    if (port_.isOpen())
        applySettings(*parsed);
    settings_ = settings;
    lineSettings_ = *parsed;
}

void SerialControl::applySettings(const LineSettings &settings)
{
    const bool applied = port_.setBaudRate(settings.baudRate) &&
                         port_.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits)) &&
                         port_.setParity(toQt(settings.parity)) &&
                         port_.setStopBits(toQt(settings.stopBits)) &&
                         port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!applied) {
        const QString reason = port_.errorString();
        port_.clearError();
        fail(QStringLiteral("the line settings cannot be applied (%1)").arg(reason));
    }
}

void SerialControl::setPortOpen(bool open)
{
    if (open == port_.isOpen()) {
        // Closing a closed port is harmless; opening an open one is the operator's mistake.
        if (open)
            fail(QStringLiteral("already open"));
        return;
    }
    if (!open) {
        port_.close();
        port_.clearError();
        emit portOpenChanged(false);
        return;
    }
    port_.setPortName(device(commPort_));
    if (!port_.open(QIODevice::ReadWrite)) {
        const QString what = describeOpenFailure(port_.error(), port_.errorString());
        port_.clearError();
        fail(what);
    }
    try {
        applySettings(lineSettings_);
    } catch (const CommError &) {
        port_.close();
        throw;
    }
    commEvent_ = 0;
    emit portOpenChanged(true);
}

void SerialControl::setOutput(std::string_view data)
{
    if (!port_.isOpen())
        fail(QStringLiteral("the port is not open"));
    if (port_.bytesToWrite() + static_cast<qint64>(data.size()) > kOutBufferSize) {
        commEvent_ = comEventTxFull;
        emit OnComm();
        fail(QStringLiteral("the transmit buffer is full; is the projector reading the line?"));
    }
    const qint64 written = port_.write(data.data(), static_cast<qint64>(data.size()));
    if (written != static_cast<qint64>(data.size())) {
        const QString reason = port_.errorString();
        port_.clearError();
        fail(QStringLiteral("write failed (%1)").arg(reason));
    }
    // Hand the bytes to the driver now rather than at the next turn of the event loop.
    if (driverHasRoom(port_))
        port_.flush();
    if (!port_.isOpen())
        fail(QStringLiteral("the device went away while writing"));
}

std::string SerialControl::Input()
{
    if (!port_.isOpen())
        fail(QStringLiteral("the port is not open"));
    return port_.readAll().toStdString();
}

void SerialControl::onErrorOccurred(QSerialPort::SerialPortError error)
{
    // A hang-up shows as a read error that repeats for as long as the port stays open; treat
    // read, write and resource errors on an open port as the device being gone.
    const bool gone = error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
                      error == QSerialPort::WriteError;
    if (!gone || !port_.isOpen())
        return;
    const QString reason = port_.errorString();
    const QString label = portLabel();
    port_.close();
    port_.clearError();
    emit portOpenChanged(false);
    emit deviceLost(
        QStringLiteral("%1: the device went away (%2); the port is closed").arg(label, reason));
}

} // namespace qv7
