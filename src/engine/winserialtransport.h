#pragma once

#include "transport.h"

#include <QTimer>

#include <memory>

class QWinEventNotifier;

namespace qv7 {

// A COM port through the Win32 communications API. One read is always under way, and it and
// the writes are overlapped; their completion events wake the event loop through
// QWinEventNotifier: nothing polls and no thread waits. Windows lets one program at a time open a
// port, which replaces the lock files and the search for other holders of the Linux transport.
class WinSerialTransport : public Transport {
    Q_OBJECT

public:
    explicit WinSerialTransport(const QString &device, QObject *parent = nullptr);
    ~WinSerialTransport() override;

    void open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override;
    void applySettings(const LineSettings &settings) override;
    qint64 bytesToWrite() const override;
    void write(std::string_view data) override;
    QByteArray readAll() override;

private:
    struct Io; // the handle and the overlapped operations, which Windows writes into

    void startRead();
    void onReadDone();
    void startWrite();
    void onWriteDone();
    void onWriteTimeout();
    void loseLine(const QString &reason);

    QString device_;
    std::unique_ptr<Io> io_;
    std::unique_ptr<QWinEventNotifier> readNotifier_;
    std::unique_ptr<QWinEventNotifier> writeNotifier_;
    QTimer writeTimeout_;
    QByteArray received_;
    QByteArray toWrite_; // not yet handed to Windows
};

} // namespace qv7
