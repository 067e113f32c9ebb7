#include "winserialtransport.h"

#include "protocol/portnames.h"

#include <QWinEventNotifier>

#include <windows.h>

#include <algorithm>
#include <utility>

namespace qv7 {

namespace {

// The receive and transmit queues the line asks the driver for, as the Linux transport's.
constexpr DWORD kInBufferSize = 1024;
constexpr DWORD kOutBufferSize = 512;
// A full transmit buffer takes 0.55 s at 9600 baud; a write still not done after this long
// is one that a hung adapter or driver will never finish.
constexpr int kWriteTimeoutMs = 3000;

// Windows's own words for an error, without the full stop that ends them.
QString systemMessage(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString message = length ? QString::fromWCharArray(text, int(length)).trimmed() : QString();
    ::LocalFree(text);
    if (message.endsWith(u'.'))
        message.chop(1);
    if (message.isEmpty())
        return QStringLiteral("Windows error %1").arg(code);
    return QStringLiteral("%1, Windows error %2").arg(message).arg(code);
}

CommError openFailure(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return {FailureKind::NoSuchDevice,
                QStringLiteral("no such port; is the USB adapter plugged in? Device Manager lists "
                               "the COM ports under \"Ports (COM & LPT)\"")};
    // Windows opens a port for one program at a time, and refuses the next opener with
    // "access denied": a COM port has no permissions of its own for an account.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return {FailureKind::InUse,
                QStringLiteral("in use by another program (%1); close it and try again")
                    .arg(systemMessage(code))};
    default:
        return {FailureKind::OpenFailed,
                QStringLiteral("cannot be opened (%1)").arg(systemMessage(code))};
    }
}

BYTE toWindows(Parity parity)
{
    switch (parity) {
    case Parity::None:
        return NOPARITY;
    case Parity::Even:
        return EVENPARITY;
    case Parity::Odd:
        return ODDPARITY;
    case Parity::Mark:
        return MARKPARITY;
    case Parity::Space:
        return SPACEPARITY;
    }
    return NOPARITY;
}

BYTE toWindows(StopBits stopBits)
{
    switch (stopBits) {
    case StopBits::One:
        return ONESTOPBIT;
    case StopBits::OneAndHalf:
        return ONE5STOPBITS;
    case StopBits::Two:
        return TWOSTOPBITS;
    }
    return ONESTOPBIT;
}

} // namespace

// Windows writes into the OVERLAPPED structures and the buffer being written until each
// operation completes or is cancelled, so they live here, apart, and go only after that.
struct WinSerialTransport::Io {
    explicit Io(HANDLE handle)
        : port(handle)
    {
        for (OVERLAPPED *operation : {&read, &write})
            operation->hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        readBuffer.resize(kInBufferSize);
    }
    ~Io()
    {
        // Nothing may still be under way: cancel, then wait for Windows to let go.
        ::CancelIoEx(port, nullptr);
        DWORD ignored = 0;
        if (reading)
            ::GetOverlappedResult(port, &read, &ignored, TRUE);
        if (writing)
            ::GetOverlappedResult(port, &write, &ignored, TRUE);
        ::CloseHandle(port);
        for (OVERLAPPED *operation : {&read, &write})
            ::CloseHandle(operation->hEvent);
    }
    Io(const Io &) = delete;
    Io &operator=(const Io &) = delete;

    HANDLE port;
    OVERLAPPED read{};
    OVERLAPPED write{};
    bool reading = false;
    bool writing = false;
    QByteArray readBuffer;
    QByteArray writeBuffer;
};

WinSerialTransport::WinSerialTransport(const QString &device, QObject *parent)
    : Transport(parent)
    , device_(device)
{
    writeTimeout_.setSingleShot(true);
    writeTimeout_.setInterval(kWriteTimeoutMs);
    connect(&writeTimeout_, &QTimer::timeout, this, &WinSerialTransport::onWriteTimeout);
}

WinSerialTransport::~WinSerialTransport()
{
    close();
}

bool WinSerialTransport::isOpen() const
{
    return io_ != nullptr;
}

void WinSerialTransport::open(const LineSettings &settings)
{
    if (io_)
        throw CommError(FailureKind::Unsupported, QStringLiteral("already open"));
    const std::wstring path =
        QString::fromStdString(windowsDevicePath(device_.toStdString())).toStdWString();
    const HANDLE port = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        throw openFailure(::GetLastError());
    io_ = std::make_unique<Io>(port);
    try {
        // The queue sizes are a request that a driver may round or ignore.
        ::SetupComm(port, kInBufferSize, kOutBufferSize);
        // A read waits for the first byte as long as it takes and ends once the line has been
        // quiet for a millisecond after it: that is the receive event. (Wine reads the modem
        // lines for WaitCommEvent, which a pseudo-terminal has not.)
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 1;
        if (!::SetCommTimeouts(port, &timeouts))
            throw CommError(
                FailureKind::OpenFailed,
                QStringLiteral("cannot be set up (%1)").arg(systemMessage(::GetLastError())));
        applySettings(settings);
    } catch (const CommError &) {
        close();
        throw;
    }
    readNotifier_ = std::make_unique<QWinEventNotifier>(io_->read.hEvent);
    connect(readNotifier_.get(), &QWinEventNotifier::activated, this,
            &WinSerialTransport::onReadDone);
    writeNotifier_ = std::make_unique<QWinEventNotifier>(io_->write.hEvent);
    connect(writeNotifier_.get(), &QWinEventNotifier::activated, this,
            &WinSerialTransport::onWriteDone);
    // From the event loop: bytes already waiting are announced once the caller listens.
    QMetaObject::invokeMethod(this, &WinSerialTransport::startRead, Qt::QueuedConnection);
}

void WinSerialTransport::close()
{
    readNotifier_.reset();
    writeNotifier_.reset();
    writeTimeout_.stop();
    io_.reset();
    toWrite_.clear();
}

void WinSerialTransport::applySettings(const LineSettings &settings)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool applied = ::GetCommState(io_->port, &dcb);
    if (applied) {
        dcb.BaudRate = DWORD(settings.baudRate);
        dcb.ByteSize = BYTE(settings.dataBits);
        dcb.Parity = toWindows(settings.parity);
        dcb.StopBits = toWindows(settings.stopBits);
        dcb.fBinary = TRUE;
        dcb.fParity = settings.parity != Parity::None;
        // No handshake: DTR and RTS are raised, as a Linux port raises them at open, and
        // nothing waits on CTS, DSR or XON.
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        // A framing error must not stop every later read until someone clears it.
        dcb.fAbortOnError = FALSE;
        applied = ::SetCommState(io_->port, &dcb);
    }
    if (!applied)
        throw CommError(FailureKind::Unsupported,
                        QStringLiteral("the line settings cannot be applied (%1)")
                            .arg(systemMessage(::GetLastError())));
}

qint64 WinSerialTransport::bytesToWrite() const
{
    return toWrite_.size() + (io_ ? io_->writeBuffer.size() : 0);
}

void WinSerialTransport::write(std::string_view data)
{
    if (!io_)
        throw CommError(FailureKind::Lost, QStringLiteral("the port is not open"));
    toWrite_.append(data.data(), qsizetype(data.size()));
    if (!io_->writing)
        startWrite();
}

void WinSerialTransport::startWrite()
{
    if (toWrite_.isEmpty())
        return;
    io_->writeBuffer = std::exchange(toWrite_, {});
    io_->writing = true;
    // Done at once or later, the completion comes through the write event.
    if (!::WriteFile(io_->port, io_->writeBuffer.constData(), DWORD(io_->writeBuffer.size()),
                     nullptr, &io_->write) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        const QString reason = systemMessage(::GetLastError());
        io_->writing = false;
        close();
        throw CommError(FailureKind::Lost,
                        QStringLiteral("the port went away while writing (%1); is the USB "
                                       "adapter plugged in?")
                            .arg(reason));
    }
    writeTimeout_.start();
}

void WinSerialTransport::onWriteDone()
{
    DWORD written = 0;
    if (!io_ || !io_->writing)
        return;
    const bool done = ::GetOverlappedResult(io_->port, &io_->write, &written, FALSE);
    const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_IO_INCOMPLETE)
        return;
    ::ResetEvent(io_->write.hEvent);
    io_->writing = false;
    writeTimeout_.stop();
    if (!done) {
        loseLine(QStringLiteral("a write failed (%1)").arg(systemMessage(error)));
        return;
    }
    // A driver that took only part goes on with the rest first.
    toWrite_.prepend(io_->writeBuffer.mid(qsizetype(written)));
    io_->writeBuffer.clear();
    try {
        startWrite();
    } catch (const CommError &failure) {
        emit lost(failure.description());
    }
}

void WinSerialTransport::onWriteTimeout()
{
    if (io_)
        loseLine(QStringLiteral("a write did not finish within %1 s; the adapter or its "
                                "driver has stopped: unplug it and plug it in again")
                     .arg(kWriteTimeoutMs / 1000));
}

void WinSerialTransport::startRead()
{
    if (!io_ || io_->reading)
        return;
    // A full receive buffer waits for readAll(); meanwhile the driver keeps what comes.
    const qsizetype room = qsizetype(kInBufferSize) - received_.size();
    if (room <= 0)
        return;
    io_->reading = true;
    // Done at once or later, the completion comes through the read event.
    if (!::ReadFile(io_->port, io_->readBuffer.data(), DWORD(room), nullptr, &io_->read) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        io_->reading = false;
        loseLine(QStringLiteral("the port went away (%1)").arg(systemMessage(::GetLastError())));
    }
}

void WinSerialTransport::onReadDone()
{
    if (!io_ || !io_->reading)
        return;
    DWORD got = 0;
    const bool done = ::GetOverlappedResult(io_->port, &io_->read, &got, FALSE);
    const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_IO_INCOMPLETE)
        return;
    ::ResetEvent(io_->read.hEvent);
    io_->reading = false;
    if (!done) {
        loseLine(QStringLiteral("the port went away (%1)").arg(systemMessage(error)));
        return;
    }
    if (got > 0) {
        received_.append(io_->readBuffer.constData(), qsizetype(got));
        emit readyRead();
    }
    startRead();
}

QByteArray WinSerialTransport::readAll()
{
    // Room again for a read, if a full buffer had stopped them.
    if (io_ && !io_->reading)
        QMetaObject::invokeMethod(this, &WinSerialTransport::startRead, Qt::QueuedConnection);
    return std::exchange(received_, {});
}

void WinSerialTransport::loseLine(const QString &reason)
{
    close();
    emit lost(reason);
}

} // namespace qv7
