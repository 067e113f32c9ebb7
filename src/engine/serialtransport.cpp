#include "serialtransport.h"

#include "deviceholders.h"
#include "devicelock.h"
#include "openadvice.h"

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

SerialTransport::SerialTransport(const QString &device, QObject *parent)
    : Transport(parent)
    , device_(device)
{
    port_.setReadBufferSize(kInBufferSize);
    connect(&port_, &QSerialPort::readyRead, this, &Transport::readyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialTransport::onErrorOccurred);
}

void SerialTransport::open(const LineSettings &settings)
{
    // By its real name, QSerialPort's lock file (LCK..ttyUSB0 in /var/lock) is the one that
    // other programs look for, whichever link the device was named by. A program that holds
    // the device without a lock is looked for only when a reply goes missing (otherHolders):
    // the search costs milliseconds per thousand open files.
    const QString device = realDevice(device_);
    port_.setPortName(device);
    if (!port_.open(QIODevice::ReadWrite)) {
        const Failure failure = openFailure(port_.error(), port_.errorString(), device);
        port_.clearError();
        throw CommError(failure.kind, failure.description);
    }
    if (!lockDevice(port_)) {
        port_.close();
        throw CommError(FailureKind::InUse,
                        QStringLiteral("in use by another program; close it and try again"));
    }
    try {
        applySettings(settings);
    } catch (const CommError &) {
        port_.close();
        throw;
    }
}

QStringList SerialTransport::otherHolders() const
{
    return deviceHolders(realDevice(device_));
}

void SerialTransport::close()
{
    port_.close();
    port_.clearError();
}

void SerialTransport::applySettings(const LineSettings &settings)
{
    const bool applied = port_.setBaudRate(settings.baudRate) &&
                         port_.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits)) &&
                         port_.setParity(toQt(settings.parity)) &&
                         port_.setStopBits(toQt(settings.stopBits)) &&
                         port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!applied) {
        const QString reason = port_.errorString();
        port_.clearError();
        throw CommError(FailureKind::Unsupported,
                        QStringLiteral("the line settings cannot be applied (%1)").arg(reason));
    }
}

void SerialTransport::write(std::string_view data)
{
    const qint64 written = port_.write(data.data(), static_cast<qint64>(data.size()));
    if (written != static_cast<qint64>(data.size())) {
        const QString reason = port_.errorString();
        port_.clearError();
        throw CommError(FailureKind::WriteFailed, QStringLiteral("write failed (%1)").arg(reason));
    }
    // Hand the bytes to the driver now rather than at the next turn of the event loop.
    if (driverHasRoom(port_))
        port_.flush();
    if (!port_.isOpen())
        throw CommError(FailureKind::Lost, QStringLiteral("the device went away while writing"));
}

void SerialTransport::onErrorOccurred(QSerialPort::SerialPortError error)
{
    // A hang-up shows as a read error that repeats for as long as the port stays open; treat
    // read, write and resource errors on an open port as the device being gone.
    const bool gone = error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
                      error == QSerialPort::WriteError;
    if (!gone || !port_.isOpen())
        return;
    const QString reason = port_.errorString();
    port_.close();
    port_.clearError();
    emit lost(QStringLiteral("the device went away (%1)").arg(reason));
}

} // namespace qv7
