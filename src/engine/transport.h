#pragma once

#include "commerror.h"
#include "protocol/linesettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <string_view>

namespace qv7 {

// The line under the serial control: a local serial device or a network port. Every failing
// operation throws CommError with what went wrong, which the serial control prefixes with the
// port's name; a line that goes away by itself closes and says so once through lost().
class Transport : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Opens the line. A serial device is open when this returns; a network port starts
    // connecting and reports by opened() or connectFailed(). Throws CommError for what fails
    // at once.
    virtual void open(const LineSettings &settings) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // On an open line: the speed and framing from now on.
    virtual void applySettings(const LineSettings &settings) = 0;
    // Bytes handed to write() that the line has not taken yet.
    virtual qint64 bytesToWrite() const = 0;
    virtual void write(std::string_view data) = 0;
    virtual QByteArray readAll() = 0;
    // The other programs that have this line open without a lock, as "cat (pid 1234)": they
    // share it unseen and swallow replies. Finding them reads every open file of every
    // process, so it is asked only when a reply went missing.
    virtual QStringList otherHolders() const { return {}; }

signals:
    void readyRead();
    // The line went away (unplugged, far end hung up); it is closed by the time this comes.
    void lost(const QString &reason);
    // A network line has made its connection after open(): it is open from now on.
    void opened();
    // A network line could not make its connection, at open() or again when a write found the
    // idle connection closed; it is closed by the time this comes.
    void connectFailed(const qv7::Failure &failure);
    // A network line is making its connection (after open(), or again at a write). Bytes
    // written meanwhile wait and go out once it is made.
    void connectingChanged(bool connecting);
};

struct TransportOptions {
    // How long a network port may take to connect.
    int connectTimeoutMs = 3000;
};

// The transport for a device name, which the serial control opens for a port number:
// tcp://HOST:PORT and rfc2217://HOST:PORT are network ports, anything else a serial device.
// Throws CommError for a network port name that does not parse.
std::unique_ptr<Transport> makeTransport(const QString &device, const TransportOptions &options);

// The device file that a serial device's name leads to, links resolved ("/dev/ttyUSB0" for its
// /dev/serial/by-id/ link): one device under two names is one port. A network port's name, or
// a name that leads nowhere, is its own.
QString realDevice(const QString &device);

} // namespace qv7
