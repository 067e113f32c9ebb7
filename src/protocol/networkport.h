#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv7 {

// A port reached over the network: raw TCP carries the bytes only; RFC 2217 is telnet with
// the COM-PORT-OPTION, through which the client sets the far line's speed and framing.
enum class NetworkProtocol { RawTcp, Rfc2217 };

struct NetworkPort {
    NetworkProtocol protocol = NetworkProtocol::RawTcp;
    std::string host; // a name, an IPv4 address, or an IPv6 address without its brackets
    std::uint16_t port = 0;

    friend bool operator==(const NetworkPort &, const NetworkPort &) = default;
};

// A network port, or what is wrong with the name; error is empty when port is set.
struct NetworkPortName {
    std::optional<NetworkPort> port;
    std::string error;
};

// Whether a device name asks for a network port: it starts with tcp:// or rfc2217://.
bool isNetworkPortName(std::string_view name);

// Parses "tcp://HOST:PORT" and "rfc2217://HOST:PORT"; an IPv6 address goes in brackets.
// Port 0 ("any free port") is taken only when listening.
NetworkPortName parseNetworkPort(std::string_view name, bool listening = false);

// An IPv4 address in dotted decimal, or an IPv6 address without brackets, with a scope
// ("fe80::1%eth0") if it has one: what a server may listen on.
bool isIpAddress(std::string_view text);

// The name back, with the IPv6 brackets: what the simulator prints after choosing a port.
std::string networkPortName(const NetworkPort &port);

} // namespace qv7
