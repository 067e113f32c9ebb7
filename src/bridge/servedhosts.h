#pragma once

#include <QStringList>

#include <string_view>

namespace qv7::bridge {

// The hosts that a request's Host header may name for this daemon's HTTP ports: an address
// (which cannot be rebound to another host), localhost, or this machine's own names. Anything
// else is a name that someone else's DNS points here (DNS rebinding), and is not served.
class ServedHosts {
public:
    ServedHosts();

    // host: the Host header, "name:port", "[v6]:port", or the name alone for the scheme's port.
    bool serves(std::string_view host, quint16 port, bool secure) const;

private:
    QStringList names_; // this machine's, besides its addresses
};

} // namespace qv7::bridge
