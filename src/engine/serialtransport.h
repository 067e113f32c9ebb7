#pragma once

#include "transport.h"

#include <QSerialPort>

namespace qv7 {

// A local serial device, or a pseudo-terminal, through QSerialPort.
class SerialTransport : public Transport {
    Q_OBJECT

public:
    explicit SerialTransport(const QString &device, QObject *parent = nullptr);

    void open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return port_.isOpen(); }
    void applySettings(const LineSettings &settings) override;
    qint64 bytesToWrite() const override { return port_.bytesToWrite(); }
    void write(std::string_view data) override;
    QByteArray readAll() override { return port_.readAll(); }
    QStringList otherHolders() const override;

private:
    void onErrorOccurred(QSerialPort::SerialPortError error);

    QString device_;
    QSerialPort port_;
};

} // namespace qv7
