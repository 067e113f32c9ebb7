#include "webserver.h"

#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr http::Limits kLimits{};
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

// One connection's progress: its deadline, whether an answer is still to be made, and
// whether one is still on its way out.
struct WebServer::Connection {
    QTimer deadline;
    bool answering = false;
    bool draining = false;
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
    admission_ = std::make_unique<Admission>(*server_, kCaps, QStringLiteral("web pages"));
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
        if (!admission_->admit(socket))
            continue;
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
            if (connection->answering || connection->draining)
                return;
            // A request that starts on a resting connection has the request's time.
            if (connection->deadline.remainingTimeAsDuration() > kRequestTime)
                connection->deadline.start(kRequestTime);
            serve(socket, connection);
        });
        const auto drained = [this, socket, connection] {
            if (connection->draining)
                goOn(socket, *connection);
        };
        connect(socket, &QTcpSocket::bytesWritten, this, drained);
        if (auto *tls = qobject_cast<QSslSocket *>(socket))
            connect(tls, &QSslSocket::encryptedBytesWritten, this, drained);
        if (socket->bytesAvailable())
            serve(socket, connection);
    }
}

void WebServer::goOn(QTcpSocket *socket, Connection &connection)
{
    // A pipelined request is read once the answer before it has gone: a client that sends
    // without reading is kept to one answer, and dropped when it takes none of it in time.
    connection.draining = queuedBytes(*socket) > 0;
    if (connection.draining)
        connection.deadline.start(kRequestTime);
    else if (socket->bytesAvailable())
        QMetaObject::invokeMethod(socket, &QTcpSocket::readyRead, Qt::QueuedConnection);
    else
        connection.deadline.start(kIdleTime);
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
        disconnect(socket, nullptr, this, nullptr);
        disconnect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connection->deadline.stop();
        // Under TLS, what a page's WebSocket writes is encrypted at once, and queues where
        // the WebSocket does not count it.
        if (qobject_cast<QSslSocket *>(socket))
            connect(socket, &QTcpSocket::bytesWritten, this, [socket] {
                if (queuedBytes(*socket) > kMostQueued) {
                    logUnread(QStringLiteral("web pages"), socket->peerAddress());
                    socket->abort();
                }
            });
        webSockets_.handleConnection(socket);
        return;
    }
    socket->skip(qint64(parsed.consumed));
    const auto finish = [this, socket, connection, request = parsed.request, response] {
        connection->answering = false;
        answer(socket, request, response);
        goOn(socket, *connection);
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
