#include "loginthrottle.h"

#include <algorithm>

namespace qv7::bridge {

namespace {

QHostAddress key(const QHostAddress &peer)
{
    bool v4 = false;
    const quint32 ip4 = peer.toIPv4Address(&v4);
    if (v4) // an IPv4 address itself, or mapped into IPv6 by a dual-stack listener
        return QHostAddress(ip4);
    Q_IPV6ADDR ip6 = peer.toIPv6Address();
    std::fill(std::begin(ip6.c) + 8, std::end(ip6.c), quint8(0));
    return QHostAddress(ip6);
}

} // namespace

LoginThrottle::LoginThrottle(Clock &clock)
    : clock_(clock)
{
}

QString LoginThrottle::rule()
{
    using namespace std::chrono;
    return QStringLiteral("%1 s after a failure, doubling up to %2 s, until %3 min without one")
        .arg(duration_cast<seconds>(kFirstWait).count())
        .arg(duration_cast<seconds>(kLongestWait).count())
        .arg(duration_cast<minutes>(kMemory).count());
}

bool LoginThrottle::forgotten(const Peer &peer) const
{
    return clock_.now() - peer.last >= kMemory;
}

Milliseconds LoginThrottle::wait(const QHostAddress &peer) const
{
    const auto it = peers_.constFind(key(peer));
    if (it == peers_.cend() || forgotten(*it))
        return Milliseconds(0);
    return std::max(it->until - clock_.now(), Milliseconds(0));
}

void LoginThrottle::makeRoom()
{
    if (peers_.size() < kMostPeers)
        return;
    peers_.removeIf(
        [this](QHash<QHostAddress, Peer>::iterator entry) { return forgotten(*entry); });
    if (peers_.size() < kMostPeers)
        return;
    const auto weakest =
        std::min_element(peers_.begin(), peers_.end(), [](const Peer &a, const Peer &b) {
            return a.failures != b.failures ? a.failures < b.failures : a.last < b.last;
        });
    peers_.erase(weakest);
}

LoginThrottle::Failure LoginThrottle::failed(const QHostAddress &peer)
{
    const QHostAddress address = key(peer);
    auto it = peers_.find(address);
    const bool first = it == peers_.end() || forgotten(*it);
    if (it == peers_.end()) {
        makeRoom();
        it = peers_.insert(address, {});
    } else if (first) {
        *it = {};
    }
    ++it->failures;
    it->last = clock_.now();
    const Milliseconds wait =
        std::min(kFirstWait * (1 << std::min(it->failures - 1, 5)), kLongestWait);
    it->until = it->last + wait;
    return {wait, first};
}

void LoginThrottle::succeeded(const QHostAddress &peer)
{
    peers_.remove(key(peer));
}

} // namespace qv7::bridge
