#include "sim/server.h"

#include "protocol/linesettings.h"
#include "protocol/networkport.h"
#include "protocol/telnet.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <memory>
#include <utility>

#ifdef Q_OS_UNIX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#else
#include <winsock2.h>
#endif

namespace qv7::sim {

namespace {

// Keepalive at short times, where the system's default waits two hours: a client whose cable
// was pulled is found dead 25 s after it fell silent (10 s idle, then 3 probes 5 s apart).
void keepAlive(QTcpSocket &socket)
{
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_UNIX
    struct Setting {
        int option;
        int value;
    };
    for (const Setting setting : {Setting{TCP_KEEPIDLE, 10}, {TCP_KEEPINTVL, 5}, {TCP_KEEPCNT, 3}})
        ::setsockopt(int(socket.socketDescriptor()), IPPROTO_TCP, setting.option, &setting.value,
                     sizeof setting.value);
#endif
}

// Whether the client's end has closed, though the socket has not said so yet. Qt's sockets
// do not block, so a peek returns at once.
bool closedByPeer(const QTcpSocket &socket)
{
    char byte = 0;
#ifdef Q_OS_UNIX
    return ::recv(int(socket.socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
#else
    return ::recv(SOCKET(socket.socketDescriptor()), &byte, 1, MSG_PEEK) == 0;
#endif
}

QString peer(const QTcpSocket &socket)
{
    const QHostAddress address = socket.peerAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? u'[' + address.toString() + u']'
                             : address.toString();
    return host + u':' + QString::number(socket.peerPort());
}

} // namespace

// One client at a time on a listening socket, over raw TCP or RFC 2217, whose bytes go to the
// line's projector and whose answers come back from it.
class NetworkListener : public QObject, public SimulatorServer::Listener {
public:
    NetworkListener(SimulatorServer &line, std::unique_ptr<QTcpServer> server,
                    NetworkProtocol protocol)
        : line_(line)
        , server_(std::move(server))
        , protocol_(protocol)
    {
        connect(server_.get(), &QTcpServer::newConnection, this, &NetworkListener::acceptClient);
    }
    ~NetworkListener() override { dropClient(); }

    void dropClient() override;
    bool write(const QByteArray &bytes) override
    {
        if (!client_)
            return false;
        client_->write(protocol_ == NetworkProtocol::Rfc2217
                           ? QByteArray::fromStdString(telnet::escape(bytes.toStdString()))
                           : bytes);
        return true;
    }
    bool speedMatches() const override
    {
        return protocol_ == NetworkProtocol::RawTcp ||
               clientLine_ == LineSettings{line_.baudRate_, Parity::None, 8, StopBits::One};
    }

private:
    void acceptClient();
    void readClient();

    SimulatorServer &line_;
    std::unique_ptr<QTcpServer> server_;
    NetworkProtocol protocol_;
    QTcpSocket *client_ = nullptr;
    std::chrono::steady_clock::time_point clientHeard_; // its last bytes, or its connection
    telnet::Parser telnetParser_;
    telnet::Options telnetOptions_{{}, {}};
    LineSettings clientLine_; // as the RFC 2217 client set it
    telnet::comport::Control clientControl_;
};

bool SimulatorServer::listen(const QString &url)
{
    close();
    const NetworkPortName parsed = parseNetworkPort(url.toStdString(), true);
    if (!parsed.port)
        return fail(url + QStringLiteral(": ") + QString::fromStdString(parsed.error));
    QHostAddress address;
    if (!address.setAddress(QString::fromStdString(parsed.port->host)))
        return fail(url + QStringLiteral(": listen on an address, such as 127.0.0.1 or [::1]"));
    auto listener = std::make_unique<QTcpServer>();
    if (!listener->listen(address, parsed.port->port))
        return fail(QStringLiteral("cannot listen on %1: %2").arg(url, listener->errorString()));
    NetworkPort bound = *parsed.port;
    bound.port = listener->serverPort();
    listener_ = std::make_unique<NetworkListener>(*this, std::move(listener), bound.protocol);
    portName_ = QString::fromStdString(networkPortName(bound));
    errorString_.clear();
    return true;
}

void NetworkListener::acceptClient()
{
    while (QTcpSocket *socket = server_->nextPendingConnection()) {
        // A client that closed and came straight back may be ahead of its own hang-up.
        if (client_ && closedByPeer(*client_)) {
            line_.log("---", {}, QStringLiteral("the client closed the connection"));
            dropClient();
        }
        // A client silent that long is likely gone (a pulled cable) and the newcomer its user
        // back: as a serial device server's connection takeover, the newcomer wins.
        const auto now = std::chrono::steady_clock::now();
        if (client_ && now - clientHeard_ >= line_.takeoverAfter_) {
            const std::chrono::duration<double> silence = now - clientHeard_;
            line_.log(
                "---", {},
                QStringLiteral("client %1 silent for %2 s, taken over by %3")
                    .arg(peer(*client_), QString::number(silence.count(), 'f', 1), peer(*socket)));
            dropClient();
        }
        if (client_) {
            // As ser2net turns away a second client.
            line_.log("---", {}, QStringLiteral("a second client turned away"));
            socket->write("Port already in use\r\n");
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        client_ = socket;
        clientHeard_ = now;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        keepAlive(*socket);
        connect(socket, &QTcpSocket::readyRead, this, &NetworkListener::readClient);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (socket != client_)
                return;
            // Keepalive's verdict on a pulled cable ends the connection with a time-out.
            line_.log("---", {},
                      socket->error() == QAbstractSocket::RemoteHostClosedError
                          ? QStringLiteral("the client closed the connection")
                          : QStringLiteral("the client was lost: ") + socket->errorString());
            dropClient();
        });
        line_.log("---", {}, QStringLiteral("a client connected from %1").arg(peer(*socket)));
        // A new connection starts with the converter's own settings: the projector's.
        clientLine_ = LineSettings{line_.baudRate_, Parity::None, 8, StopBits::One};
        clientControl_ = {};
        if (protocol_ == NetworkProtocol::Rfc2217) {
            using namespace telnet;
            telnetParser_ = {};
            telnetOptions_ =
                Options({kBinary, kSuppressGoAhead}, {kBinary, kSuppressGoAhead, kComPort});
            socket->write(QByteArray::fromStdString(
                telnetOptions_.ask(kComPort) + telnetOptions_.offer(kBinary) +
                telnetOptions_.ask(kBinary) + telnetOptions_.offer(kSuppressGoAhead) +
                telnetOptions_.ask(kSuppressGoAhead)));
        }
    }
}

void NetworkListener::dropClient()
{
    if (!client_)
        return;
    QTcpSocket *socket = std::exchange(client_, nullptr);
    line_.forgetLine();
    socket->disconnect(this);
    socket->disconnectFromHost();
    socket->deleteLater();
}

void NetworkListener::readClient()
{
    clientHeard_ = std::chrono::steady_clock::now();
    const QByteArray bytes = client_->readAll();
    if (protocol_ == NetworkProtocol::RawTcp) {
        line_.takeBytes(std::string_view(bytes.constData(), std::size_t(bytes.size())), true);
        return;
    }
    using namespace telnet;
    std::vector<Piece> pieces;
    telnetParser_.feed(std::string_view(bytes.constData(), std::size_t(bytes.size())), pieces);
    std::string answers;
    for (const Piece &piece : pieces) {
        switch (piece.kind) {
        case Piece::Kind::Data:
            line_.takeBytes(piece.bytes, speedMatches());
            break;
        case Piece::Kind::Subnegotiation:
            if (piece.option == kComPort) {
                const int before = clientLine_.baudRate;
                answers += comport::serve(piece.bytes, clientLine_, clientControl_);
                if (clientLine_.baudRate != before)
                    line_.log("---", {},
                              QStringLiteral("the client set the line to %1 baud")
                                  .arg(clientLine_.baudRate));
            }
            break;
        default:
            answers += telnetOptions_.answer(piece.kind, piece.option);
            break;
        }
    }
    if (client_ && !answers.empty())
        client_->write(QByteArray::fromStdString(answers));
}

} // namespace qv7::sim
