#pragma once

#include "transport.h"

#include <QSerialPort>

namespace qv7 {

// Who may open a device, as far as its group goes.
struct DeviceAccess {
    QString group;                 // the device's group; empty when not known
    QString user;                  // who runs this program
    bool memberOfGroup = false;    // the group database lists the user in the group
    bool groupInThisLogin = false; // this process has the group
    bool groupMayOpen = true;      // the device's mode lets its group read and write
};

// What the operating system says of a device and the user running this program.
DeviceAccess deviceAccess(const QString &device);

// What an operator reads when the system refuses a device: which group opens it and, when the
// user is not in it, the command that puts them there.
QString describePermissionDenied(const DeviceAccess &access);

// Why a port does not open: its kind, and what an operator reads of what went wrong and what
// to do about it.
Failure openFailure(QSerialPort::SerialPortError error, const QString &systemText,
                    const QString &device);

// A local serial device, or a pseudo-terminal, through QSerialPort.
class SerialTransport : public Transport {
    Q_OBJECT

public:
    // reopening: the line was held by this program until a moment ago; see TransportOptions.
    explicit SerialTransport(const QString &device, bool reopening = false,
                             QObject *parent = nullptr);

    void open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return port_.isOpen(); }
    void applySettings(const LineSettings &settings) override;
    qint64 bytesToWrite() const override { return port_.bytesToWrite(); }
    void write(std::string_view data) override;
    QByteArray readAll() override { return port_.readAll(); }

private:
    void onErrorOccurred(QSerialPort::SerialPortError error);

    QString device_;
    bool reopening_;
    QSerialPort port_;
};

} // namespace qv7
