#pragma once

#include "bridge/lineowner.h"
#include "protocol/pjlinkdatagram.h"

#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qv7::bridge {

// Whether a datagram sent from an address of this machine can reach another: both of one
// protocol, and a loopback address only to loopback (the kernel refuses the rest). A wildcard
// address reaches every address of its protocol.
bool canReach(const QHostAddress &from, const QHostAddress &to);

// PJLink Class 2 over UDP for every projector with a PJLink face: a search ("%2SRCH") is
// answered with each projector's MAC address, and what the daemon learns of a projector
// (its line up, its power, input and error status) is told to the controllers of its
// inventory entry and to those that searched lately. Each projector speaks from its own PJLink
// address on the UDP port, as a controller tells projectors apart by address; projectors that
// share an address share its socket.
//
// A search broadcast on the network reaches the socket on the IPv4 wildcard address and is
// answered by every projector whose address can reach the searcher; one sent to a projector's
// address is answered by the projectors at that address. Answers go to the searcher's UDP port
// (where the standard has a controller listen), and also to the port it searched from when
// that is another. Searches are answered at most kSearchesPerSecond a second, once a second
// from one address; nothing is queued, and anything but a search is ignored. Each kind of
// trouble (rubbish, searches dropped, datagrams not sent) is logged once a burst.
class PjlinkUdp : public QObject {
    Q_OBJECT

public:
    static constexpr int kSearchesPerSecond = 8;
    // The searchers told of changes besides the inventory's controllers: the latest ones.
    static constexpr std::size_t kSearchersNotified = 8;

    PjlinkUdp(quint16 port, Clock &clock = Clock::steady(), QObject *parent = nullptr);
    ~PjlinkUdp() override;

    // A projector with a PJLink face, before open().
    void add(LineOwner &line);
    // Binds the sockets; false with the reason in errorString().
    bool open();
    QString errorString() const { return error_; }

private:
    struct Socket;
    struct Face;
    // When the last event of a kind came: one that follows the last by less than kBurstGap
    // belongs to its burst and is not logged.
    struct Burst {
        std::optional<Milliseconds> last;
        bool starts(Milliseconds now);
    };

    void read(Socket &socket);
    void search(Socket &socket, const QHostAddress &from, quint16 fromPort);
    bool admit(const QHostAddress &from);
    void onStateChanged(Face &face, LineState::Field field);
    void notify(Face &face, std::string_view body, const std::string &value);
    void send(Face &face, const std::string &datagram, const QHostAddress &to, quint16 port);

    quint16 port_;
    Clock &clock_;
    std::vector<std::unique_ptr<Socket>> sockets_;
    std::vector<std::unique_ptr<Face>> faces_;
    // The searches answered within the last second, and the latest searchers.
    std::deque<std::pair<QHostAddress, Milliseconds>> recent_;
    std::deque<QHostAddress> searchers_;
    Burst rubbish_;
    Burst dropped_;
    QString error_;
};

} // namespace qv7::bridge
