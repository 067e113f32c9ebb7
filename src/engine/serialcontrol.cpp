#include "serialcontrol.h"

#include "protocol/portnames.h"

#include <utility>

namespace qv7 {

SerialControl::SerialControl(QObject *parent)
    : QObject(parent)
    , lineSettings_(*parseLineSettings(settings_.toStdString()))
{
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
    const QString device = this->device(commPort_);
    const QString real = realDevice(device);
    const QString where = real == device ? device : QStringLiteral("%1 → %2").arg(device, real);
    const QString name = name_.isEmpty() ? QStringLiteral("COM%1").arg(commPort_) : name_;
    return name == device ? where : QStringLiteral("%1 (%2)").arg(name, where);
}

QString SerialControl::labelled(const QString &what) const
{
    return QStringLiteral("%1: %2").arg(portLabel(), what);
}

void SerialControl::fail(FailureKind kind, const QString &what) const
{
    throw CommError(kind, labelled(what));
}

void SerialControl::refuseWhileConnecting() const
{
    if (connecting_ && !PortOpen())
        fail(FailureKind::Unsupported,
             QStringLiteral("still connecting; try again when the connection is made"));
}

void SerialControl::setCommPort(short port)
{
    if (PortOpen() || connecting_)
        fail(FailureKind::Unsupported,
             QStringLiteral("the port number cannot change while the port is open"));
    if (port < 1)
        fail(FailureKind::NoSuchDevice, QStringLiteral("%1 is not a port number").arg(port));
    commPort_ = port;
}

void SerialControl::setSettings(const QString &settings)
{
    const auto parsed = parseLineSettings(settings.toStdString());
    if (!parsed)
        fail(FailureKind::Unsupported,
             QStringLiteral("\"%1\" is not a line setting").arg(settings));
    setLineSettings(*parsed);
    settings_ = settings;
}

void SerialControl::setLineSettings(const LineSettings &settings)
{
    // A network port still connecting puts them on the far line once it is connected.
    if (PortOpen() || connecting_) {
        try {
            line_->applySettings(settings);
        } catch (const CommError &error) {
            fail(error);
        }
    }
    settings_ = QString::fromStdString(formatLineSettings(settings));
    lineSettings_ = settings;
}

void SerialControl::announceOpen(bool open)
{
    if (std::exchange(announcedOpen_, open) == open)
        return;
    if (open)
        commEvent_ = 0;
    emit portOpenChanged(open);
}

void SerialControl::setPortOpen(bool open)
{
    if (!open) {
        // Closing a closed port is harmless; a connection being made is given up.
        if (line_ && (PortOpen() || connecting_))
            line_->close();
        announceOpen(false);
        return;
    }
    refuseWhileConnecting();
    if (PortOpen())
        fail(FailureKind::Unsupported, QStringLiteral("already open"));
    // A transport that was lost may still be on its way out of its own signal: let it finish.
    if (line_)
        line_.release()->deleteLater();
    try {
        line_ = makeTransport(device(commPort_), transportOptions_);
        connect(line_.get(), &Transport::connectingChanged, this, [this](bool connecting) {
            connecting_ = connecting;
            emit connectingChanged(connecting);
        });
        connect(line_.get(), &Transport::opened, this, [this] { announceOpen(true); });
        line_->open(lineSettings_);
    } catch (const CommError &error) {
        fail(error);
    }
    connect(line_.get(), &Transport::readyRead, this, [this] {
        commEvent_ = comEvReceive;
        emit OnComm();
    });
    connect(line_.get(), &Transport::lost, this, [this](const QString &reason) {
        announceOpen(false);
        emit deviceLost(
            {FailureKind::Lost, labelled(reason + QStringLiteral("; the port is closed"))});
    });
    // At the open, or when a write found the idle connection closed and making it again failed.
    connect(line_.get(), &Transport::connectFailed, this, [this](const Failure &failure) {
        announceOpen(false);
        emit deviceLost({failure.kind, labelled(failure.description)});
    });
    if (line_->isOpen())
        announceOpen(true);
}

void SerialControl::setOutput(std::string_view data)
{
    refuseWhileConnecting();
    if (!PortOpen())
        fail(FailureKind::Lost, QStringLiteral("the port is not open"));
    if (line_->bytesToWrite() + static_cast<qint64>(data.size()) > kOutBufferSize) {
        commEvent_ = comEventTxFull;
        emit OnComm();
        fail(FailureKind::WriteFailed,
             QStringLiteral("the transmit buffer is full; is the projector reading the line?"));
    }
    try {
        line_->write(data);
    } catch (const CommError &error) {
        if (!PortOpen())
            announceOpen(false);
        fail(error);
    }
}

std::string SerialControl::Input()
{
    if (!PortOpen())
        fail(FailureKind::Lost, QStringLiteral("the port is not open"));
    return line_->readAll().toStdString();
}

void SerialControl::refuseIfShared()
{
    if (!PortOpen())
        return;
    const QStringList holders = line_->otherHolders();
    if (holders.isEmpty())
        return;
    setPortOpen(false);
    fail(FailureKind::InUse, QStringLiteral("in use by %1; close it and try again")
                                 .arg(holders.join(QLatin1String(", "))));
}

} // namespace qv7
