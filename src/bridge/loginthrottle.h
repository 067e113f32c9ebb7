#pragma once

#include "engine/clock.h"

#include <QHash>
#include <QHostAddress>

namespace qv7::bridge {

// Failed logins by where they came from, for the faces that take a password (the web pages,
// PJLink). After a failure, every attempt from that address is refused until its wait is over,
// whatever password it carries: a client that gives up on a late answer and tries again guesses
// no faster, and neither do parallel connections. The wait is 1 s after the first failure and
// doubles after each one after it, up to 30 s; an address is forgotten after 10 min without a
// failure, or when it has succeeded. An IPv6 address counts as its /64, which one host may
// choose its addresses from. At most kMostPeers addresses are kept: a new one makes room by
// pushing out the one with the fewest failures (the oldest of them), so a flood of addresses
// neither grows the table nor frees a guesser that has failed more.
class LoginThrottle {
public:
    explicit LoginThrottle(Clock &clock = Clock::steady());

    static constexpr qsizetype kMostPeers = 1024;
    static constexpr Milliseconds kFirstWait = std::chrono::seconds(1);
    static constexpr Milliseconds kLongestWait = std::chrono::seconds(30);
    static constexpr Milliseconds kMemory = std::chrono::minutes(10);

    // The waits in words, for the log.
    static QString rule();

    Clock &clock() const { return clock_; }
    // How much longer attempts from peer are refused; zero when it may try.
    Milliseconds wait(const QHostAddress &peer) const;

    struct Failure {
        Milliseconds wait; // until its next attempt is taken
        bool first;        // the first of a burst, which is worth a line in the log
    };
    Failure failed(const QHostAddress &peer);
    void succeeded(const QHostAddress &peer);

    qsizetype size() const { return peers_.size(); }

private:
    struct Peer {
        int failures = 0;
        Milliseconds last{0}; // the last failure
        Milliseconds until{0};
    };
    bool forgotten(const Peer &peer) const;
    void makeRoom();

    Clock &clock_;
    QHash<QHostAddress, Peer> peers_;
};

} // namespace qv7::bridge
