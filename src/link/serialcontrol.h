#pragma once

#include "commerror.h"
#include "portsettings.h"

#include <QMap>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <string>
#include <string_view>

namespace qv7 {

// What an operator reads when a port does not open: what went wrong and what to do about it.
QString describeOpenFailure(QSerialPort::SerialPortError error, const QString &systemText);

// The window's serial-communications control: a port number, a settings string, open and
// close, one-write output, input of everything waiting, and a communication event raised on
// the owner's thread. Every failing operation throws CommError.
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

    short CommPort() const { return commPort_; }
    void setCommPort(short port);

    QString Settings() const { return settings_; }
    void setSettings(const QString &settings);

    bool PortOpen() const { return port_.isOpen(); }
    void setPortOpen(bool open);

    // Writes the whole string to the line in one operation.
    void setOutput(std::string_view data);
    // Every byte waiting in the receive buffer, removed from it.
    std::string Input();

    short CommEvent() const { return commEvent_; }

signals:
    void OnComm();
    // The port was open and the device went away (unplugged, far end hung up); the port is
    // closed by the time this is emitted, once per loss.
    void deviceLost(const QString &description);
    void portOpenChanged(bool open);

private:
    QString portLabel() const;
    [[noreturn]] void fail(const QString &what) const;
    void applySettings(const LineSettings &settings);
    void onErrorOccurred(QSerialPort::SerialPortError error);

    QSerialPort port_;
    QMap<short, QString> devices_;
    short commPort_ = 1;
    QString settings_ = QStringLiteral("9600,N,8,1");
    LineSettings lineSettings_;
    short commEvent_ = 0;
};

} // namespace qv7
