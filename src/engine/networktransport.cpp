#include "networktransport.h"

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
// A close by the far end this soon after the first write that broke a quiet spell crossed that
// write: the converter was closing the idle connection as the bytes went out, and they are sent
// again on a new one.
constexpr qint64 kCrossedMs = 250;
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
    step_.setSingleShot(true);
    connect(&step_, &QTimer::timeout, this, &NetworkTransport::onStepTimeout);
    connect(&socket_, &QAbstractSocket::connected, this, &NetworkTransport::onConnected);
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
    waiting_.clear();
    connectToPeer();
}

void NetworkTransport::setConnecting(bool connecting)
{
    if (std::exchange(connecting_, connecting) != connecting)
        emit connectingChanged(connecting);
}

void NetworkTransport::connectToPeer()
{
    ++generation_;
    received_.clear();
    socket_.abort();
    phase_ = Phase::Connecting;
    setConnecting(true);
    step_.start(connectTimeoutMs_);
    socket_.connectToHost(QString::fromStdString(port_.host), port_.port);
}

void NetworkTransport::onConnected()
{
    if (phase_ != Phase::Connecting)
        return;
    step_.stop();
    keepAlive();
    phase_ = Phase::Greeting;
    greet();
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
    // Watched for a close by the far end (onSocketError) until the time is up.
    awaitGreeting(kSettleMs);
}

void NetworkTransport::onStepTimeout()
{
    if (phase_ == Phase::Connecting)
        failConnect(CommError(FailureKind::ConnectTimedOut,
                              QStringLiteral("no connection within %1 s; is the converter on "
                                             "and reachable?")
                                  .arg(connectTimeoutMs_ / 1000.0)));
    else if (phase_ == Phase::Greeting)
        greetingTimedOut();
}

void NetworkTransport::greeted()
{
    if (phase_ != Phase::Greeting)
        return;
    step_.stop();
    phase_ = Phase::Open;
    lastWrite_.invalidate();
    const bool first = !std::exchange(open_, true);
    setConnecting(false);
    if (!waiting_.isEmpty() && send(std::exchange(waiting_, {})))
        lastWrite_.start();
    if (first)
        emit opened();
    // What came with the greeting goes to the engine now that it listens.
    if (!received_.isEmpty())
        emit readyRead();
}

void NetworkTransport::failGreeting(const CommError &error)
{
    if (phase_ == Phase::Greeting)
        failConnect(error);
}

CommError NetworkTransport::closedAtOnce() const
{
    const QByteArray said = received_.toLower();
    if (said.contains("in use") || said.contains("busy"))
        return {FailureKind::InUse, QStringLiteral("in use by another client; close the other "
                                                   "program or session and try again")};
    return {FailureKind::InUse, QStringLiteral("the converter closed the connection as soon as "
                                               "it was made; is it in use by another client?")};
}

void NetworkTransport::failConnect(const CommError &error)
{
    const bool again = open_;
    close();
    emit connectFailed(
        {error.kind(),
         again ? QStringLiteral("the converter closed the connection, and connecting again "
                                "failed: %1")
                     .arg(error.description())
               : error.description()});
}

void NetworkTransport::close()
{
    ++generation_;
    phase_ = Phase::Closed;
    open_ = false;
    step_.stop();
    socket_.abort();
    received_.clear();
    waiting_.clear();
    unanswered_.clear();
    quietBroken_.invalidate();
    setConnecting(false);
}

void NetworkTransport::applySettings(const LineSettings &settings)
{
    settings_ = settings;
    // A connection being made puts the far line at them in its greeting.
    if (phase_ == Phase::Open && socket_.state() == QAbstractSocket::ConnectedState)
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
    if (!open_)
        throw CommError(FailureKind::Lost, QStringLiteral("the connection is not made yet"));
    if (phase_ == Phase::Open && socket_.state() != QAbstractSocket::ConnectedState) {
        // Gone before its error came round the event loop.
        const QAbstractSocket::SocketError error = socket_.error();
        if (!endsQuietly(error)) {
            const QString reason = lossReason(error);
            close();
            throw CommError(FailureKind::Lost, reason);
        }
        phase_ = Phase::Closed;
    }
    if (phase_ != Phase::Open) {
        // The far end closed the idle connection: these bytes wait for the next one.
        waiting_ += outgoing(data);
        if (phase_ == Phase::Closed)
            connectToPeer();
        return;
    }
    const QByteArray bytes = outgoing(data);
    // Until the far end answers, what broke a quiet spell may have crossed an idle close.
    if (!lastWrite_.isValid() || lastWrite_.elapsed() >= kAwaitedMs) {
        unanswered_.clear();
        quietBroken_.start();
    }
    if (quietBroken_.isValid())
        unanswered_ += bytes;
    if (!send(bytes))
        throw CommError(FailureKind::WriteFailed,
                        QStringLiteral("write failed (%1)").arg(socket_.errorString()));
    lastWrite_.start();
}

void NetworkTransport::onReadyRead()
{
    takeIncoming(socket_.readAll());
    if (phase_ == Phase::Open) {
        quietBroken_.invalidate();
        unanswered_.clear();
    }
    if (phase_ == Phase::Open && !received_.isEmpty())
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
    switch (phase_) {
    case Phase::Closed:
        return;
    case Phase::Connecting:
        failConnect(
            connectFailure(error, socket_.errorString(), QString::fromStdString(port_.host)));
        return;
    case Phase::Greeting:
        failConnect(closedAtOnce());
        return;
    case Phase::Open:
        break;
    }
    if (endsQuietly(error)) {
        // Made again at the next write.
        phase_ = Phase::Closed;
        socket_.abort();
        return;
    }
    if (error == QAbstractSocket::RemoteHostClosedError && quietBroken_.isValid() &&
        quietBroken_.elapsed() < kCrossedMs) {
        waiting_ = std::exchange(unanswered_, {});
        quietBroken_.invalidate();
        connectToPeer();
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
    settingsSent_ = false;
    const std::string offers = options_.offer(kComPort) + options_.offer(kBinary) +
                               options_.ask(kBinary) + options_.offer(kSuppressGoAhead) +
                               options_.ask(kSuppressGoAhead);
    send(QByteArray::fromStdString(offers));
    awaitGreeting(kAnswerMs);
}

void Rfc2217Transport::greetingTimedOut()
{
    // A server that never answers an option or a setting is not waited for longer.
    if (!settingsSent_)
        afterOffers();
    else
        greeted();
}

void Rfc2217Transport::afterOffers()
{
    using namespace telnet;
    if (options_.ours(kComPort) == Options::State::Off) {
        failGreeting(CommError(FailureKind::Unsupported,
                               QStringLiteral("the server does not take RFC 2217 line settings; "
                                              "is it a raw TCP port (tcp://)?")));
        return;
    }
    sendSettings();
    settingsSent_ = true;
    awaitGreeting(kAnswerMs);
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
    if (!greeting())
        return;
    if (!settingsSent_ && options_.ours(kComPort) != Options::State::Asked)
        afterOffers();
    else if (settingsSent_ && acknowledgementsDue_ == 0)
        greeted();
}

QByteArray Rfc2217Transport::outgoing(std::string_view data) const
{
    return QByteArray::fromStdString(telnet::escape(data));
}

} // namespace qv7
