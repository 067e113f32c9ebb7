#include "webserver.h"

#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr http::Limits kLimits{};
// Connections open at once, pages' WebSockets among them; more is a fault or a flood.
constexpr int kMostConnections = 256;
// A request must arrive whole within this; a kept-alive connection may rest this long.
constexpr auto kRequestTime = 10s;
constexpr auto kIdleTime = 60s;

// The referrer goes to the daemon's own pages only: with none at all, browsers send a form's
// Origin as "null", and the login could not be told from a foreign one.
constexpr char kSafetyHeaders[] =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; form-action 'self'; frame-ancestors 'none'; "
    "base-uri 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Cache-Control: no-store\r\n"
    "Referrer-Policy: same-origin\r\n"
    "X-Frame-Options: DENY\r\n";

QByteArray statusLine(int status)
{
    const std::string_view reason = http::reason(status);
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' +
           QByteArray(reason.data(), qsizetype(reason.size())) + "\r\n";
}

} // namespace

// One connection's progress: its deadline, and whether an answer is still to go out.
struct WebServer::Connection {
    QTimer deadline;
    bool answering = false;
};

WebServer::WebServer(Handler handler, QObject *parent, Clock &clock)
    : QObject(parent)
    , handler_(std::move(handler))
    , clock_(clock)
    , webSockets_(QStringLiteral("qv7-bridge"), QWebSocketServer::NonSecureMode)
{
    connect(&webSockets_, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket *socket = webSockets_.nextPendingConnection()) {
            socket->setMaxAllowedIncomingFrameSize(kLongestMessage);
            socket->setMaxAllowedIncomingMessageSize(kLongestMessage);
            emit webSocket(socket);
        }
    });
}

WebServer::~WebServer() = default;

bool WebServer::listen(const QHostAddress &address, quint16 port,
                       const std::optional<QSslConfiguration> &tls)
{
    secure_ = tls.has_value();
    if (tls) {
        auto server = std::make_unique<QSslServer>();
        server->setSslConfiguration(*tls);
        server_ = std::move(server);
    } else {
        server_ = std::make_unique<QTcpServer>();
    }
    // A TLS connection is pending once its handshake is done.
    connect(server_.get(), &QTcpServer::pendingConnectionAvailable, this, &WebServer::accept);
    return server_->listen(address, port);
}

QString WebServer::errorString() const
{
    return server_ ? server_->errorString() : QString();
}

quint16 WebServer::port() const
{
    return server_ ? server_->serverPort() : 0;
}

void WebServer::accept()
{
    while (QTcpSocket *socket = server_->nextPendingConnection()) {
        if (connections_ >= kMostConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++connections_;
        connect(socket, &QObject::destroyed, this, [this] { --connections_; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        socket->setReadBufferSize(qint64(kLimits.head + kLimits.body));
        // An answer goes out whole at once: waiting for the browser's delayed acknowledgement
        // of the last one cost each request on a kept-alive connection 40 ms.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // The connection's state lives as long as the handlers that hold it.
        auto connection = std::make_shared<Connection>();
        connection->deadline.setSingleShot(true);
        connect(&connection->deadline, &QTimer::timeout, socket, &QTcpSocket::abort);
        connection->deadline.start(kRequestTime);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, connection] {
            if (connection->answering)
                return;
            // A request that starts on a resting connection has the request's time.
            if (connection->deadline.remainingTimeAsDuration() > kRequestTime)
                connection->deadline.start(kRequestTime);
            serve(socket, connection);
        });
        if (socket->bytesAvailable())
            serve(socket, connection);
    }
}

void WebServer::serve(QTcpSocket *socket, std::shared_ptr<Connection> connection)
{
    const QByteArray data = socket->peek(qint64(kLimits.head + kLimits.body));
    const http::Parsed parsed = http::parseRequest({data.constData(), std::size_t(data.size())});
    if (parsed.outcome == http::Outcome::Incomplete)
        return;
    if (parsed.outcome == http::Outcome::Bad) {
        WebResponse response;
        response.status = parsed.status;
        response.type = "text/plain; charset=utf-8";
        response.body = QByteArray::fromStdString(parsed.error) + '\n';
        http::Request request;
        request.headers.emplace_back("connection", "close");
        answer(socket, request, response);
        return;
    }
    const WebResponse response = handler_(parsed.request, socket->peerAddress());
    if (response.upgrade) {
        // The WebSocket server reads the handshake still in the socket's buffer, and its
        // WebSocket owns the connection from now on.
        disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connection->deadline.stop();
        webSockets_.handleConnection(socket);
        return;
    }
    socket->skip(qint64(parsed.consumed));
    const auto finish = [this, socket, connection, request = parsed.request, response] {
        connection->answering = false;
        answer(socket, request, response);
        if (socket->bytesAvailable())
            QMetaObject::invokeMethod(socket, &QTcpSocket::readyRead, Qt::QueuedConnection);
        else
            connection->deadline.start(kIdleTime);
    };
    if (response.delay <= 0ms) {
        finish();
        return;
    }
    // Nothing more is read from this connection until the answer has gone.
    connection->answering = true;
    connection->deadline.stop();
    auto *delay = new LineTimer(clock_, socket);
    delay->setSingleShot(true);
    connect(delay, &LineTimer::timeout, socket, [delay, finish] {
        delay->deleteLater();
        finish();
    });
    delay->start(response.delay);
}

void WebServer::answer(QTcpSocket *socket, const http::Request &request,
                       const WebResponse &response)
{
    const bool keepAlive = request.keepAlive();
    QByteArray head = statusLine(response.status);
    head += "Content-Type: " + response.type + "\r\n";
    head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    head += kSafetyHeaders;
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    socket->write(request.method == "HEAD" ? head : head + response.body);
    if (!keepAlive)
        socket->disconnectFromHost();
}

} // namespace qv7::bridge
