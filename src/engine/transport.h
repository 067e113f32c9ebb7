#pragma once

#include "commerror.h"
#include "protocol/linesettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <string_view>

namespace qv7 {

// The line under the serial control: a local serial device today, a network port tomorrow.
// Every failing operation throws CommError with what went wrong, which the serial control
// prefixes with the port's name; a line that goes away by itself closes and says so once
// through lost().
class Transport : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void open(const LineSettings &settings) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // On an open line: the speed and framing from now on.
    virtual void applySettings(const LineSettings &settings) = 0;
    // Bytes handed to write() that the line has not taken yet.
    virtual qint64 bytesToWrite() const = 0;
    virtual void write(std::string_view data) = 0;
    virtual QByteArray readAll() = 0;

signals:
    void readyRead();
    // The line went away (unplugged, far end hung up); it is closed by the time this comes.
    void lost(const QString &reason);
};

// The transport for a device name, which the serial control opens for a port number.
std::unique_ptr<Transport> makeTransport(const QString &device);

} // namespace qv7
