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

bool isIpv4(std::string_view text)
{
    for (int parts = 1;; ++parts) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        const auto digits = static_cast<std::size_t>(end - text.data());
        if (error != std::errc{} || digits > 3 || value > 255)
            return false;
        text.remove_prefix(digits);
        if (parts == 4)
            return text.empty();
        if (!text.starts_with('.'))
            return false;
        text.remove_prefix(1);
    }
}

// Eight groups of up to four hex digits, or fewer with one "::" standing for the rest; the
// last two may be written as an IPv4 address.
bool isIpv6(std::string_view text)
{
    if (const auto percent = text.find('%'); percent != std::string_view::npos) {
        const std::string_view scope = text.substr(percent + 1);
        if (scope.empty() || !std::ranges::all_of(scope, isHostNameChar))
            return false;
        text = text.substr(0, percent);
    }
    bool compressed = text.starts_with("::");
    if (compressed)
        text.remove_prefix(2);
    int groups = 0;
    while (!text.empty()) {
        const auto colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
            if (!isIpv4(group))
                return false;
            groups += 2;
            break;
        }
        if (group.empty() || group.size() > 4 || !std::ranges::all_of(group, [](char c) {
                return std::isxdigit(static_cast<unsigned char>(c));
            }))
            return false;
        ++groups;
        if (colon == std::string_view::npos)
            break;
        text.remove_prefix(colon + 1);
        if (text.starts_with(':')) {
            if (compressed)
                return false;
            compressed = true;
            text.remove_prefix(1);
        } else if (text.empty()) {
            return false; // a lone colon at the end
        }
    }
    return compressed ? groups <= 7 : groups == 8;
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

bool isIpAddress(std::string_view text)
{
    return text.find(':') == std::string_view::npos ? isIpv4(text) : isIpv6(text);
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
