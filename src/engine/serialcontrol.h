#pragma once

#include "commerror.h"
#include "protocol/linesettings.h"
#include "transport.h"

#include <QMap>
#include <QObject>
#include <QString>

#include <memory>
#include <string>
#include <string_view>

namespace qv7 {

// The serial-communications control: a port number, a settings string, open and close,
// one-write output, input of everything waiting, and a communication event raised on the
// owner's thread. It reaches the line through a transport chosen by the port's device name.
// Every failing operation throws CommError, whose text names the port and its device.
class SerialControl : public QObject {
    Q_OBJECT

public:
    // Communication event codes as CommEvent reports them: characters received, and a write
    // refused because the transmit buffer is full.
    enum : short { comEvReceive = 2, comEventTxFull = 1010 };

    static constexpr qint64 kOutBufferSize = 512;

    explicit SerialControl(QObject *parent = nullptr);
    ~SerialControl() override;

    // The device that a port number stands for; overrides the platform's default.
    void setDevice(short port, const QString &device);
    QString device(short port) const;
    // How reports name the port: "NAME (DEVICE)", or the device alone when the name is the
    // device; by default "COM1 (/dev/ttyS0)", the panel's own words. A device named by a link
    // shows where it leads: "hall (/dev/serial/by-id/... → /dev/ttyUSB0)".
    void setPortName(const QString &name) { name_ = name; }

    // How long a network port may take to connect, at its next open.
    void setConnectTimeout(int milliseconds) { transportOptions_.connectTimeoutMs = milliseconds; }
    int connectTimeout() const { return transportOptions_.connectTimeoutMs; }

    short CommPort() const { return commPort_; }
    void setCommPort(short port);

    QString Settings() const { return settings_; }
    void setSettings(const QString &settings);
    // The same as values, as programs hold them.
    void setLineSettings(const LineSettings &settings);

    bool PortOpen() const { return line_ && line_->isOpen(); }
    // A network port opens when its connection is made: portOpenChanged() says so, or
    // deviceLost() says why not. Closing gives up a connection still being made.
    void setPortOpen(bool open);
    // A network port is making its connection, at the open or again at a write.
    bool connecting() const { return connecting_; }

    // Writes the whole string to the line in one operation.
    void setOutput(std::string_view data);
    // Every byte waiting in the receive buffer, removed from it.
    std::string Input();
    // When another program holds the open line without a lock (and so may have read what was
    // meant for this one), closes the port and throws InUse naming it.
    void refuseIfShared();

    short CommEvent() const { return commEvent_; }

signals:
    void OnComm();
    // The port was open and the device went away (unplugged, far end hung up), or a network
    // port could not make its connection; the port is closed by the time this is emitted, once
    // per loss.
    void deviceLost(const qv7::Failure &failure);
    void portOpenChanged(bool open);
    // A network port is connecting: the window shows it is busy.
    void connectingChanged(bool connecting);

private:
    QString portLabel() const;
    QString labelled(const QString &what) const;
    [[noreturn]] void fail(FailureKind kind, const QString &what) const;
    [[noreturn]] void fail(const CommError &error) const
    {
        fail(error.kind(), error.description());
    }
    void refuseWhileConnecting() const;
    // Says portOpenChanged() once for each change.
    void announceOpen(bool open);

    std::unique_ptr<Transport> line_;
    QMap<short, QString> devices_;
    QString name_;
    short commPort_ = 1;
    QString settings_ = QStringLiteral("9600,N,8,1");
    LineSettings lineSettings_;
    TransportOptions transportOptions_;
    short commEvent_ = 0;
    bool connecting_ = false;
    bool announcedOpen_ = false;
};

} // namespace qv7
