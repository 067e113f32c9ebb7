#include "admission.h"

#include "log.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr auto kRetryTime = 1s;
constexpr auto kBurstTime = 10s;

// The descriptor number past which the reserve begins.
int reserveStart()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<int>::max();
    return int(std::min<rlim_t>(limit.rlim_cur, std::numeric_limits<int>::max())) -
           Admission::kReserve;
}

// Descriptors are given lowest first: the next one tells how many are free.
bool descriptorsFree()
{
    const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (next < 0)
        return false;
    ::close(next);
    return next < reserveStart();
}

} // namespace

QString endpoint(const QHostAddress &host, quint16 port)
{
    return (host.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]:%2")
                                                             : QStringLiteral("%1:%2"))
        .arg(host.toString())
        .arg(port);
}

qint64 queuedBytes(const QAbstractSocket &socket)
{
    const auto *tls = qobject_cast<const QSslSocket *>(&socket);
    return socket.bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
}

void logUnread(const QString &what, const QHostAddress &peer)
{
    logEvent(Priority::Notice,
             QStringLiteral("qv7-bridge: %1: client %2 dropped: it left more than %3 KiB unread")
                 .arg(what, peer.toString())
                 .arg(kMostQueued / 1024));
}

Admission::Admission(QTcpServer &server, ConnectionCaps caps, QString what, QObject *parent)
    : QObject(parent)
    , server_(server)
    , caps_(caps)
    , what_(std::move(what))
{
    probe_.setSingleShot(true);
    probe_.setInterval(kRetryTime);
    connect(&probe_, &QTimer::timeout, this, &Admission::probe);
    burst_.setSingleShot(true);
    burst_.setInterval(kBurstTime);
    connect(&server_, &QTcpServer::acceptError, this, &Admission::starve);
}

void Admission::starve()
{
    server_.pauseAccepting();
    if (!std::exchange(starved_, true))
        logEvent(Priority::Warning,
                 QStringLiteral("qv7-bridge: %1: descriptors run short; new connections wait "
                                "until others close (raise the descriptor limit, LimitNOFILE=)")
                     .arg(what_));
    probe_.start();
}

void Admission::probe()
{
    if (!descriptorsFree()) {
        probe_.start();
        return;
    }
    starved_ = false;
    logEvent(Priority::Info, QStringLiteral("qv7-bridge: %1: accepting again").arg(what_));
    server_.resumeAccepting();
}

bool Admission::admit(QTcpSocket *socket)
{
    if (socket->socketDescriptor() >= reserveStart())
        starve();
    const QHostAddress address = socket->peerAddress();
    if (open_ >= caps_.total) {
        refuse(socket, QStringLiteral("%1 connections already").arg(caps_.total));
        return false;
    }
    int &fromThere = fromAddress_[address];
    if (fromThere >= caps_.perAddress) {
        refuse(socket, QStringLiteral("%1 connections from %2 already")
                           .arg(caps_.perAddress)
                           .arg(address.toString()));
        return false;
    }
    ++open_;
    ++fromThere;
    connect(socket, &QObject::destroyed, this, [this, address] {
        --open_;
        if (--fromAddress_[address] == 0)
            fromAddress_.remove(address);
    });
    return true;
}

void Admission::refuse(QTcpSocket *socket, const QString &why)
{
    if (!burst_.isActive())
        logEvent(Priority::Notice,
                 QStringLiteral("qv7-bridge: %1: client %2 turned away: %3 (more within %4 s "
                                "are not logged)")
                     .arg(what_, socket->peerAddress().toString(), why)
                     .arg(std::chrono::seconds(kBurstTime).count()));
    burst_.start();
    socket->abort();
    socket->deleteLater();
}

void checkDescriptorLimit(int needed, const QString &what)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= rlim_t(needed))
        return;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= rlim_t(needed)) {
        limit.rlim_cur = rlim_t(needed);
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0)
            return;
    } else if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    logEvent(Priority::Warning,
             QStringLiteral("qv7-bridge: the descriptor limit is %1, fewer than the %2 that %3 "
                            "may take; connections past it wait until others close (raise it: "
                            "LimitNOFILE=%2 in the unit, ulimit -n %2 in a shell)")
                 .arg(qulonglong(limit.rlim_cur))
                 .arg(needed)
                 .arg(what));
}

} // namespace qv7::bridge
