#include "networkport.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace qv7 {

namespace {

struct Scheme {
    std::string_view prefix;
    NetworkProtocol protocol;
};
constexpr Scheme kSchemes[] = {{"tcp://", NetworkProtocol::RawTcp},
                               {"rfc2217://", NetworkProtocol::Rfc2217}};

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::ranges::equal(text.substr(0, prefix.size()), prefix, [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

const Scheme *findScheme(std::string_view name)
{
    for (const Scheme &scheme : kSchemes)
        if (startsWithNoCase(name, scheme.prefix))
            return &scheme;
    return nullptr;
}

bool isHostNameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool isIpv6Char(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// A name in quotes. Written as appends: GCC 12 at -O3 takes "\"" + std::string(...) for an
// overlapping copy (-Wrestrict).
std::string quoted(std::string_view text)
{
    return std::string(1, '"').append(text).append(1, '"');
}

NetworkPortName failure(std::string error)
{
    return {std::nullopt, std::move(error)};
}

} // namespace

bool isNetworkPortName(std::string_view name)
{
    return findScheme(name) != nullptr;
}

NetworkPortName parseNetworkPort(std::string_view name, bool listening)
{
    const Scheme *scheme = findScheme(name);
    if (!scheme)
        return failure("not a network port; write tcp://HOST:PORT or rfc2217://HOST:PORT");
    std::string_view rest = name.substr(scheme->prefix.size());
    NetworkPort port;
    port.protocol = scheme->protocol;

    std::string_view host;
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            return failure("the IPv6 address has no closing bracket");
        host = rest.substr(1, close - 1);
        if (host.empty() || host.find(':') == std::string_view::npos ||
            !std::ranges::all_of(host, isIpv6Char))
            return failure(quoted(host) + " in brackets is not an IPv6 address");
        rest.remove_prefix(close + 1);
    } else {
        const auto colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string_view::npos && rest.find(':', colon + 1) != std::string_view::npos)
            return failure("put an IPv6 address in brackets: [ADDRESS]:PORT");
        if (host.empty())
            return failure("no host before the port number");
        if (!std::ranges::all_of(host, isHostNameChar))
            return failure(quoted(host) + " is not a host name or address");
        rest.remove_prefix(host.size());
    }
    if (!rest.starts_with(':') || rest.size() == 1)
        return failure("no port number after the host (HOST:PORT)");
    rest.remove_prefix(1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (error != std::errc{} || end != rest.data() + rest.size() || value > 65535 ||
        (value == 0 && !listening))
        return failure(quoted(rest) + " is not a port number from 1 to 65535");
    port.host = host;
    port.port = static_cast<std::uint16_t>(value);
    return {port, {}};
}

std::string networkPortName(const NetworkPort &port)
{
    const std::string_view prefix =
        port.protocol == NetworkProtocol::RawTcp ? kSchemes[0].prefix : kSchemes[1].prefix;
    const bool ipv6 = port.host.find(':') != std::string::npos;
    return std::string(prefix) + (ipv6 ? "[" + port.host + "]" : port.host) + ":" +
           std::to_string(port.port);
}

} // namespace qv7
