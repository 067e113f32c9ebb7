#pragma once

#include "bridge/admission.h"
#include "engine/clock.h"
#include "protocol/http.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QWebSocketServer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QTcpSocket;
class QWebSocket;

namespace qv7::bridge {

// What the server answers a request with.
struct WebResponse {
    int status = 200;
    QByteArray type = "text/html; charset=utf-8";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers; // beside the ones every answer has
    std::chrono::milliseconds delay{0};           // answered this much later
    bool upgrade = false; // the request becomes a WebSocket; nothing else counts then
};

// HTTP/1.1 on a TCP port, with TLS when given a certificate, and WebSockets after a handshake
// that the handler has accepted: the one place where the daemon's web face meets Qt's network
// and WebSocket classes. Requests are read within limits, one at a time per connection, with
// keep-alive; every answer carries the headers that keep a page safe (its own scripts and
// styles only, no sniffing, no caching, no framing).
class WebServer : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<WebResponse(const http::Request &, const QHostAddress &peer)>;
    // Delayed answers go out on the clock's time.
    WebServer(Handler handler, QObject *parent = nullptr, Clock &clock = Clock::steady());
    ~WebServer() override;

    // False, with the reason in errorString(), when the port cannot be had.
    bool listen(const QHostAddress &address, quint16 port,
                const std::optional<QSslConfiguration> &tls);
    QString errorString() const;
    bool secure() const { return secure_; }
    quint16 port() const;

    // Largest message a WebSocket client may send.
    static constexpr qint64 kLongestMessage = 1024;
    // Connections open at once, pages' WebSockets among them; more is a fault or a flood.
    static constexpr ConnectionCaps kCaps{.total = 256, .perAddress = 64};

signals:
    // A WebSocket whose handshake the handler accepted; its receiver owns it.
    void webSocket(QWebSocket *socket);

private:
    struct Connection;
    void accept();
    void serve(QTcpSocket *socket, std::shared_ptr<Connection> connection);
    void goOn(QTcpSocket *socket, Connection &connection);
    void answer(QTcpSocket *socket, const http::Request &request, const WebResponse &response);

    Handler handler_;
    Clock &clock_;
    std::unique_ptr<QTcpServer> server_;
    std::unique_ptr<Admission> admission_;
    QWebSocketServer webSockets_;
    bool secure_ = false;
};

} // namespace qv7::bridge
