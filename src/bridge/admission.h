#pragma once

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

class QAbstractSocket;
class QTcpServer;
class QTcpSocket;

namespace qv7::bridge {

// What the daemon keeps queued for one client that does not read: past it, the client is
// dropped rather than buffered for.
inline constexpr qint64 kMostQueued = 256 * 1024;

// An address and port as logs name them: "127.0.0.1:4352", "[::1]:4352".
QString endpoint(const QHostAddress &host, quint16 port);

// Bytes written to a socket that the kernel has not taken yet, the encrypted ones under TLS.
qint64 queuedBytes(const QAbstractSocket &socket);
// Logs that the client at peer of the listener what left more than kMostQueued bytes unread
// and is dropped.
void logUnread(const QString &what, const QHostAddress &peer);

// How many connections a listener serves at once, in all and from one client address.
struct ConnectionCaps {
    int total;
    int perAddress;
};

// The door of one listener: connections past its caps are closed at once, with one log line
// per burst. A listener stops accepting while the descriptors run short, and looks each second
// whether enough are free again: Qt's own listener, once out of descriptors (EMFILE), either
// pauses for good or tries accept() again at full speed.
class Admission : public QObject {
public:
    // what: the listener in the log, such as "web pages" or "hall: PJLink".
    Admission(QTcpServer &server, ConnectionCaps caps, QString what, QObject *parent = nullptr);

    // True: the socket is served, and counted until it is destroyed. False: it was closed and
    // is deleted later.
    bool admit(QTcpSocket *socket);

    // Descriptors kept free for the lines, the broker and the connections that one round of
    // accepting takes.
    static constexpr int kReserve = 64;

private:
    void refuse(QTcpSocket *socket, const QString &why);
    void starve();
    void probe();

    QTcpServer &server_;
    ConnectionCaps caps_;
    QString what_;
    int open_ = 0;
    QHash<QHostAddress, int> fromAddress_;
    QTimer probe_;         // while paused for descriptors
    QTimer burst_;         // refusals while it runs are logged as one
    bool starved_ = false; // out of descriptors since the last connection taken
};

// Logs once at start when the descriptors this process may open are fewer than its
// connection caps and lines may take, having first raised the soft limit as far as it can.
void checkDescriptorLimit(int needed, const QString &what);

} // namespace qv7::bridge
