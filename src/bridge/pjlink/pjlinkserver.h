#pragma once

#include "bridge/admission.h"
#include "bridge/lineowner.h"
#include "bridge/loginthrottle.h"
#include "protocol/pjlink.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;

namespace qv7::bridge {

// One projector as a PJLink Class 2 device on a TCP port: each client is greeted, checked
// against the password when there is one, and answered one request at a time. Requests that
// reach the projector go to its line's queue like the broker's commands; what the projector
// cannot take now is answered at once (ERR3), as is a line that is down or a projector that
// does not answer (ERR4). No byte reaches the line that did not come from a valid request.
//
// A wrong digest is answered PJLINK ERRA when its address may try again (the throttle's wait),
// and until then every digest from that address is answered PJLINK ERRA at once, right or
// wrong: PJLink has no answer that says "later", and a client that holds its connection open
// for the wait would hold one of the few places.
class PjlinkServer : public QObject {
    Q_OBJECT

public:
    // password: empty for none. The throttle may be shared with other servers, so that guessing
    // at several ports is no faster than at one.
    PjlinkServer(LineOwner &line, const QByteArray &password, LoginThrottle &throttle,
                 QObject *parent = nullptr);

    // False, with the reason in errorString(), when the port cannot be had.
    bool listen();
    QString errorString() const { return server_.errorString(); }
    QString label() const;
    quint16 port() const { return server_.serverPort(); }

    // Clients served at once; a control system needs one or two, more is a fault or a flood.
    static constexpr ConnectionCaps kCaps{.total = 32, .perAddress = 8};

    // Logs a request that no class of PJLink has, once for a burst of them on this port.
    void logUnknown(const QString &peer, const pjlink::Request &request);

private:
    void accept();

    LineOwner &line_;
    QByteArray password_;
    LoginThrottle &throttle_;
    QTcpServer server_;
    Admission admission_;
    QTimer unknownBurst_;
};

// One client's connection.
class PjlinkSession : public QObject {
    Q_OBJECT

public:
    PjlinkSession(QTcpSocket *socket, LineOwner &line, const QByteArray &password,
                  LoginThrottle &throttle, PjlinkServer &server);

private:
    void serve();
    void handle(const pjlink::Request &request);
    void send(const pjlink::Request &request, const pjlink::Row &row);
    void ask(const pjlink::Request &request, const pjlink::Row &row);
    void finish(const pjlink::Request &request, std::string_view value);
    void close(const QString &why);
    bool authenticate(QByteArray &line);
    void refuse(Milliseconds after);

    QTcpSocket *socket_;
    PjlinkServer &server_;
    LineOwner &line_;
    QByteArray password_;
    LoginThrottle &throttle_;
    QByteArray random_;
    QByteArray buffer_;
    QTimer idle_;
    QString peer_;
    bool authenticated_ = false;
    bool busy_ = false; // a request is with the line
    bool closed_ = false;
};

} // namespace qv7::bridge
