#include "pjlinkudp.h"

#include "bridge/admission.h"

#include "protocol/pjlink.h"

#include <QNetworkDatagram>

#include <algorithm>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

// Events closer together than this are one burst, logged once.
constexpr auto kBurstGap = 10s;
constexpr int kDatagramsATurn = 64;

bool isWildcard(const QHostAddress &address)
{
    return address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6;
}

} // namespace

bool canReach(const QHostAddress &from, const QHostAddress &to)
{
    if (from.protocol() != to.protocol())
        return false;
    return isWildcard(from) || from.isLoopback() == to.isLoopback();
}

struct PjlinkUdp::Socket {
    QHostAddress address;
    QUdpSocket socket;
};

struct PjlinkUdp::Face {
    Face(LineOwner &owner, const pjlink::Mac &address)
        : line(owner)
        , mac(address)
    {
    }

    LineOwner &line;
    pjlink::Mac mac;
    Socket *socket = nullptr;
    bool up = false; // LKUP sent since the line last went down
    // The error status follows the power state, but changes less often.
    std::string errors = "000000";
    Burst unsent;
};

bool PjlinkUdp::Burst::starts(Milliseconds now)
{
    const bool first = !last || now - *last >= kBurstGap;
    last = now;
    return first;
}

PjlinkUdp::PjlinkUdp(quint16 port, Clock &clock, QObject *parent)
    : QObject(parent)
    , port_(port)
    , clock_(clock)
{
}

PjlinkUdp::~PjlinkUdp() = default;

void PjlinkUdp::add(LineOwner &line)
{
    const InventoryEntry &entry = line.entry();
    faces_.push_back(std::make_unique<Face>(
        line, entry.mac ? *entry.mac : pjlink::macOfName(entry.name.toStdString())));
    Face &face = *faces_.back();
    // The line tells of a field only when it changes: a poll that confirms what is known is no
    // news to the controllers.
    connect(&line.line(), &Line::stateChanged, this,
            [this, &face](LineState::Field field) { onStateChanged(face, field); });
}

bool PjlinkUdp::open()
{
    // One socket per address, and one on the IPv4 wildcard for broadcast searches.
    const auto socketAt = [this](const QHostAddress &address) {
        const auto it = std::ranges::find_if(
            sockets_, [&](const auto &socket) { return socket->address == address; });
        if (it != sockets_.end())
            return it->get();
        sockets_.push_back(std::make_unique<Socket>());
        sockets_.back()->address = address;
        return sockets_.back().get();
    };
    socketAt(QHostAddress(QHostAddress::AnyIPv4));
    for (const auto &face : faces_)
        face->socket = socketAt(QHostAddress(face->line.entry().pjlinkHost));
    for (const auto &socket : sockets_) {
        // Shared with the wildcard's socket, which the kernel hands only what no socket on the
        // address itself takes.
        if (!socket->socket.bind(socket->address, port_, QUdpSocket::ShareAddress)) {
            error_ = QStringLiteral("PJLink search and notifications on UDP %1: %2")
                         .arg(endpoint(socket->address, port_), socket->socket.errorString());
            return false;
        }
        connect(&socket->socket, &QUdpSocket::readyRead, this,
                [this, s = socket.get()] { read(*s); });
    }
    for (const auto &face : faces_)
        face->line.log(Priority::Info,
                       QStringLiteral("PJLink search and notifications on UDP %1, MAC address %2")
                           .arg(endpoint(face->socket->address, port_),
                                QString::fromStdString(pjlink::macText(face->mac))));
    return true;
}

void PjlinkUdp::read(Socket &socket)
{
    // Each datagram is read and done with at once: none is kept, whatever comes. A few at a
    // turn, so that a flood cannot hold the event loop: the rest wait in the kernel's bounded
    // buffer for the next turn, and what does not fit there is dropped by the kernel.
    for (int n = 0; n < kDatagramsATurn && socket.socket.hasPendingDatagrams(); ++n) {
        const qint64 size = socket.socket.pendingDatagramSize();
        const QNetworkDatagram datagram =
            socket.socket.receiveDatagram(qint64(pjlink::kLongestDatagram));
        // An answer of ours to a searcher on this host that does not listen on the port comes
        // back to the wildcard's socket.
        const bool ours = quint16(datagram.senderPort()) == port_ &&
                          std::ranges::any_of(sockets_, [&](const auto &own) {
                              return own->address == datagram.senderAddress();
                          });
        if (ours)
            continue;
        if (size <= qint64(pjlink::kLongestDatagram) &&
            pjlink::isSearch(datagram.data().toStdString())) {
            search(socket, datagram.senderAddress(), quint16(datagram.senderPort()));
            continue;
        }
        if (rubbish_.starts(clock_.now()))
            logEvent(Priority::Notice,
                     QStringLiteral("qv7-bridge: PJLink on UDP %1: ignored %2 bytes from %3 that "
                                    "are no search, and any more within %4 s")
                         .arg(endpoint(socket.address, port_))
                         .arg(size)
                         .arg(endpoint(datagram.senderAddress(), quint16(datagram.senderPort())))
                         .arg(std::chrono::seconds(kBurstGap).count()));
    }
}

bool PjlinkUdp::admit(const QHostAddress &from)
{
    const Milliseconds now = clock_.now();
    std::erase_if(recent_, [now](const auto &search) { return now - search.second >= 1s; });
    if (recent_.size() >= std::size_t(kSearchesPerSecond) ||
        std::ranges::find(recent_, from, &std::pair<QHostAddress, Milliseconds>::first) !=
            recent_.end()) {
        if (dropped_.starts(now))
            logEvent(Priority::Notice,
                     QStringLiteral("qv7-bridge: PJLink search from %1 not answered: searches are "
                                    "answered %2 a second, once a second from one address; "
                                    "this is said once for any more within %3 s")
                         .arg(from.toString())
                         .arg(kSearchesPerSecond)
                         .arg(std::chrono::seconds(kBurstGap).count()));
        return false;
    }
    recent_.emplace_back(from, now);
    std::erase(searchers_, from);
    searchers_.push_back(from);
    if (searchers_.size() > kSearchersNotified)
        searchers_.pop_front();
    return true;
}

void PjlinkUdp::search(Socket &socket, const QHostAddress &from, quint16 fromPort)
{
    if (!admit(from))
        return;
    const bool broadcast = socket.address == QHostAddress::AnyIPv4;
    for (const auto &face : faces_) {
        const bool answers =
            face->socket == &socket || (broadcast && canReach(face->socket->address, from));
        if (!answers)
            continue;
        const std::string ackn = pjlink::classTwo("ACKN", pjlink::macText(face->mac));
        send(*face, ackn, from, port_);
        if (fromPort != port_)
            send(*face, ackn, from, fromPort);
    }
}

void PjlinkUdp::onStateChanged(Face &face, LineState::Field field)
{
    const LineState &state = face.line.line().state();
    if (state.link == Link::Down) {
        face.up = false;
        face.errors = "000000";
        return;
    }
    // Whichever field a reply changed first, the controllers hear that the line is up first.
    if (state.link == Link::Up && !std::exchange(face.up, true))
        notify(face, "LKUP", pjlink::macText(face.mac));
    if (!face.up)
        return;
    switch (field) {
    case LineState::Field::Power:
        if (const auto digit = state.power ? pjlink::powerDigit(*state.power) : std::nullopt)
            notify(face, "POWR", std::string(1, *digit));
        if (state.power &&
            std::exchange(face.errors, pjlink::errorStatus(*state.power)) != face.errors)
            notify(face, "ERST", face.errors);
        break;
    case LineState::Field::Input:
        if (state.input)
            notify(face, "INPT", pjlink::inputCode(*state.input));
        break;
    default:
        break;
    }
}

void PjlinkUdp::notify(Face &face, std::string_view body, const std::string &value)
{
    const std::string datagram = pjlink::classTwo(body, value);
    std::vector<std::pair<QHostAddress, quint16>> sent;
    const auto to = [&](const QHostAddress &address, quint16 port) {
        const std::pair destination{address, port};
        if (std::ranges::find(sent, destination) != sent.end())
            return;
        sent.push_back(destination);
        send(face, datagram, address, port);
    };
    for (const ListenAddress &controller : face.line.entry().pjlinkNotify)
        to(QHostAddress(controller.host), controller.port ? controller.port : port_);
    for (const QHostAddress &searcher : searchers_) {
        if (canReach(face.socket->address, searcher))
            to(searcher, port_);
    }
}

void PjlinkUdp::send(Face &face, const std::string &datagram, const QHostAddress &to, quint16 port)
{
    // A datagram the kernel does not take now is dropped, never kept for later.
    if (face.socket->socket.writeDatagram(datagram.data(), qint64(datagram.size()), to, port) >= 0)
        return;
    if (face.unsent.starts(clock_.now()))
        face.line.log(Priority::Warning,
                      QStringLiteral("PJLink %1 to %2 not sent: %3; this is said once for any "
                                     "more within %4 s")
                          .arg(QString::fromStdString(datagram.substr(2, 4)), endpoint(to, port),
                               face.socket->socket.errorString())
                          .arg(std::chrono::seconds(kBurstGap).count()));
}

} // namespace qv7::bridge
