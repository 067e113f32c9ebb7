#include "networktransport.h"

#include <QEventLoop>
#include <QScopeGuard>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace qv7 {

namespace {

// Received bytes wait here for the engine; beyond it, TCP tells the far end to hold on.
constexpr qint64 kInBufferSize = 64 * 1024;
// A close within this long of the last write falls inside a reply window or a hold (whose
// longest period is 500 ms): it is reported. A later one is a converter closing an idle
// connection, made again at the next write.
constexpr qint64 kAwaitedMs = 2000;
// A converter that serves another client closes a new connection at once; a raw port is
// watched this long for that before the open counts as done.
constexpr int kSettleMs = 200;
// How long an RFC 2217 server has to answer an option or a setting before the line carries
// on without the answer (ser2net on a pseudo-terminal never answers some).
constexpr int kAnswerMs = 1000;
// Keepalive: a dead peer shows after 10 s of quiet plus 3 probes 5 s apart; data that the
// peer never acknowledges gives up after the same 25 s.
constexpr int kKeepIdleS = 10;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepProbes = 3;
constexpr int kUnacknowledgedMs = 25000;

CommError connectFailure(QAbstractSocket::SocketError error, const QString &systemText,
                         const QString &host)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return {
            FailureKind::Refused,
            QStringLiteral("connection refused; is the converter on and the port number right?")};
    case QAbstractSocket::HostNotFoundError:
        return {FailureKind::Unreachable,
                QStringLiteral("unknown host \"%1\"; is the name right?").arg(host)};
    case QAbstractSocket::NetworkError:
        return {FailureKind::Unreachable,
                QStringLiteral("%1 cannot be reached (%2); is the network up and the address "
                               "right?")
                    .arg(host, systemText)};
    default:
        return {FailureKind::Unreachable, QStringLiteral("cannot connect (%1)").arg(systemText)};
    }
}

} // namespace

NetworkTransport::NetworkTransport(NetworkPort port, int connectTimeoutMs, QObject *parent)
    : Transport(parent)
    , port_(std::move(port))
    , connectTimeoutMs_(connectTimeoutMs)
{
    socket_.setReadBufferSize(kInBufferSize);
    connect(&socket_, &QTcpSocket::readyRead, this, &NetworkTransport::onReadyRead);
    // Handled from the event loop, out of the socket's own call stack, since it aborts the
    // socket; the generation drops errors of a connection that has been replaced.
    connect(&socket_, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                QMetaObject::invokeMethod(
                    this,
                    [this, error, generation = generation_] {
                        if (generation == generation_)
                            onSocketError(error);
                    },
                    Qt::QueuedConnection);
            });
}

NetworkTransport::~NetworkTransport()
{
    socket_.abort();
}

void NetworkTransport::open(const LineSettings &settings)
{
    settings_ = settings;
    connectToPeer();
    open_ = true;
    dropped_ = false;
    // What came with the greeting goes to the engine once it listens, after the open.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (open_ && !received_.isEmpty())
                emit readyRead();
        },
        Qt::QueuedConnection);
}

// Connecting waits in a nested event loop rather than opening asynchronously. Every caller of
// the serial control, from the engine's start and port switch to a write that re-makes the
// connection, takes an open as done or failed when the call returns, and a failure must come
// back as that call's own CommError so that the engine's rule of one report a burst holds.
// The wait is bounded by the connect time-out and the answer times, and the loop keeps the
// window painted with its wait cursor; while it runs, connectingChanged() tells the serial
// control to refuse any other open, close or write, and the window drops clicks.
void NetworkTransport::connectToPeer()
{
    ++generation_;
    received_.clear();
    connecting_ = true;
    emit connectingChanged(true);
    const auto done = qScopeGuard([this] {
        connecting_ = false;
        emit connectingChanged(false);
    });
    const QString host = QString::fromStdString(port_.host);
    socket_.connectToHost(host, port_.port);
    const bool settled = waitFor(
        [this] {
            return socket_.state() == QAbstractSocket::ConnectedState ||
                   socket_.state() == QAbstractSocket::UnconnectedState;
        },
        connectTimeoutMs_);
    if (socket_.state() != QAbstractSocket::ConnectedState) {
        const CommError failure =
            settled ? connectFailure(socket_.error(), socket_.errorString(), host)
                    : CommError(FailureKind::ConnectTimedOut,
                                QStringLiteral("no connection within %1 s; is the converter on "
                                               "and reachable?")
                                    .arg(connectTimeoutMs_ / 1000.0));
        socket_.abort();
        throw failure;
    }
    keepAlive();
    try {
        greet();
    } catch (const CommError &) {
        socket_.abort();
        throw;
    }
    lastWrite_.invalidate();
}

void NetworkTransport::keepAlive()
{
    // Each command goes out at once: a hold sends a few bytes every 5 ms.
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket_.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const auto fd = static_cast<int>(socket_.socketDescriptor());
    const auto set = [fd](int option, int value) {
        ::setsockopt(fd, IPPROTO_TCP, option, &value, sizeof value);
    };
    set(TCP_KEEPIDLE, kKeepIdleS);
    set(TCP_KEEPINTVL, kKeepIntervalS);
    set(TCP_KEEPCNT, kKeepProbes);
    set(TCP_USER_TIMEOUT, kUnacknowledgedMs);
#endif
}

void NetworkTransport::greet()
{
    waitFor([] { return false; }, kSettleMs);
    if (closedByFarEnd())
        failClosedAtOnce();
}

bool NetworkTransport::closedByFarEnd() const
{
    return socket_.state() != QAbstractSocket::ConnectedState;
}

void NetworkTransport::failClosedAtOnce() const
{
    const QByteArray said = received_.toLower();
    if (said.contains("in use") || said.contains("busy"))
        throw CommError(FailureKind::InUse,
                        QStringLiteral("in use by another client; close the other program or "
                                       "session and try again"));
    throw CommError(FailureKind::InUse,
                    QStringLiteral("the converter closed the connection as soon as it was "
                                   "made; is it in use by another client?"));
}

bool NetworkTransport::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto check = [&] {
        if (done() || closedByFarEnd())
            loop.quit();
    };
    // After this transport's own handlers, so that the state they leave is what is checked.
    connect(&socket_, &QAbstractSocket::stateChanged, &loop, check);
    connect(&socket_, &QTcpSocket::readyRead, &loop, check);
    timeout.start(timeoutMs);
    loop.exec();
    return done();
}

void NetworkTransport::close()
{
    ++generation_;
    open_ = false;
    dropped_ = false;
    socket_.abort();
    received_.clear();
}

void NetworkTransport::applySettings(const LineSettings &settings)
{
    settings_ = settings;
    if (open_ && !dropped_)
        sendSettings();
}

bool NetworkTransport::send(const QByteArray &bytes)
{
    if (socket_.write(bytes) != bytes.size())
        return false;
    // Out now rather than at the next turn of the event loop.
    socket_.flush();
    return true;
}

void NetworkTransport::write(std::string_view data)
{
    if (open_ && !dropped_ && socket_.state() != QAbstractSocket::ConnectedState) {
        // Gone before its error came round the event loop.
        const QAbstractSocket::SocketError error = socket_.error();
        if (!endsQuietly(error)) {
            const QString reason = lossReason(error);
            close();
            throw CommError(FailureKind::Lost, reason);
        }
        dropped_ = true;
    }
    if (dropped_) {
        try {
            connectToPeer();
        } catch (const CommError &error) {
            open_ = false;
            dropped_ = false;
            throw CommError(
                error.kind(),
                QStringLiteral("the converter closed the connection, and connecting again "
                               "failed: %1")
                    .arg(error.description()));
        }
        dropped_ = false;
    }
    if (!send(outgoing(data)))
        throw CommError(FailureKind::WriteFailed,
                        QStringLiteral("write failed (%1)").arg(socket_.errorString()));
    lastWrite_.start();
}

void NetworkTransport::onReadyRead()
{
    takeIncoming(socket_.readAll());
    if (open_ && !connecting_ && !received_.isEmpty())
        emit readyRead();
}

bool NetworkTransport::endsQuietly(QAbstractSocket::SocketError error) const
{
    const bool awaited =
        (lastWrite_.isValid() && lastWrite_.elapsed() < kAwaitedMs) || socket_.bytesToWrite() > 0;
    return error == QAbstractSocket::RemoteHostClosedError && !awaited;
}

QString NetworkTransport::lossReason(QAbstractSocket::SocketError error) const
{
    // Qt reads a reset as the end of the stream, so both are a close here.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return QStringLiteral("the converter closed the connection");
    return QStringLiteral("the connection was lost (%1)").arg(socket_.errorString());
}

void NetworkTransport::onSocketError(QAbstractSocket::SocketError error)
{
    if (!open_ || connecting_ || dropped_)
        return;
    if (endsQuietly(error)) {
        dropped_ = true;
        socket_.abort();
        return;
    }
    const QString reason = lossReason(error);
    close();
    emit lost(reason);
}

telnet::Options Rfc2217Transport::freshOptions()
{
    using namespace telnet;
    return Options({kComPort, kBinary, kSuppressGoAhead}, {kBinary, kSuppressGoAhead});
}

void Rfc2217Transport::greet()
{
    using namespace telnet;
    parser_ = {};
    options_ = freshOptions();
    acknowledgementsDue_ = 0;
    const std::string offers = options_.offer(kComPort) + options_.offer(kBinary) +
                               options_.ask(kBinary) + options_.offer(kSuppressGoAhead) +
                               options_.ask(kSuppressGoAhead);
    send(QByteArray::fromStdString(offers));
    waitFor([this] { return options_.ours(kComPort) != Options::State::Asked; }, kAnswerMs);
    if (closedByFarEnd())
        failClosedAtOnce();
    if (options_.ours(kComPort) == Options::State::Off)
        throw CommError(FailureKind::Unsupported,
                        QStringLiteral("the server does not take RFC 2217 line settings; is it "
                                       "a raw TCP port (tcp://)?"));
    sendSettings();
    waitFor([this] { return acknowledgementsDue_ == 0; }, kAnswerMs);
    if (closedByFarEnd())
        failClosedAtOnce();
}

void Rfc2217Transport::sendSettings()
{
    send(QByteArray::fromStdString(telnet::comport::requestLineSettings(settings())));
    acknowledgementsDue_ = 4;
}

void Rfc2217Transport::takeIncoming(const QByteArray &bytes)
{
    using namespace telnet;
    std::vector<Piece> pieces;
    parser_.feed(std::string_view(bytes.constData(), std::size_t(bytes.size())), pieces);
    std::string answers;
    for (const Piece &piece : pieces) {
        switch (piece.kind) {
        case Piece::Kind::Data:
            received().append(piece.bytes.data(), qsizetype(piece.bytes.size()));
            break;
        case Piece::Kind::Subnegotiation:
            // Acknowledgements count down; notifications and flow control carry nothing the
            // panel uses.
            if (piece.option == kComPort && comport::acknowledged(piece.bytes) &&
                acknowledgementsDue_ > 0)
                --acknowledgementsDue_;
            break;
        default:
            answers += options_.answer(piece.kind, piece.option);
            break;
        }
    }
    if (!answers.empty())
        send(QByteArray::fromStdString(answers));
}

QByteArray Rfc2217Transport::outgoing(std::string_view data) const
{
    return QByteArray::fromStdString(telnet::escape(data));
}

} // namespace qv7
