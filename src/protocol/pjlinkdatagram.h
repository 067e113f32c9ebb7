#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// PJLink Class 2's datagrams on UDP: a controller's search ("%2SRCH" CR), a projector's
// acknowledgement with its MAC address ("%2ACKN=xx:xx:xx:xx:xx:xx" CR), and the status
// notifications a projector sends unasked ("%2LKUP=MAC", "%2POWR=1", "%2INPT=11",
// "%2ERST=000000", each ending in CR).
namespace qv7::pjlink {

inline constexpr std::uint16_t kUdpPort = 4352;
// The longest datagram read whole: a search is 7 bytes, and nothing longer is taken.
inline constexpr std::size_t kLongestDatagram = 64;

using Mac = std::array<std::uint8_t, 6>;

// A stable address for a projector that has none of its own (a serial one): a hash of its
// name, locally administered (bit 1 of the first byte set) and unicast (bit 0 clear), so that
// it is the same on every host and start and never a maker's.
Mac macOfName(std::string_view name);
// "xx:xx:xx:xx:xx:xx" in either case; nothing for anything else.
std::optional<Mac> parseMac(std::string_view text);
// In small letters, with colons.
std::string macText(const Mac &mac);
inline bool isMulticast(const Mac &mac)
{
    return (mac[0] & 0x01) != 0;
}

// Whether a datagram is a search: "%2SRCH" and its carriage return, a line feed after it
// allowed. Anything else a projector ignores.
bool isSearch(std::string_view datagram);

// "%2BODY=value" CR: the acknowledgement ("ACKN") and the notifications.
std::string classTwo(std::string_view body, std::string_view value);

} // namespace qv7::pjlink
