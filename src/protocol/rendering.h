#pragma once

#include <string>
#include <string_view>

namespace qv7 {

// Longest text the traffic lines render: the count is a 16-bit signed number.
inline constexpr std::size_t kMaxRenderedChars = 32767;

// The visible token of one byte on a traffic line ("CR ", "ACK ", "A ", "? ").
std::string_view trafficToken(unsigned char byte);

// One blank, then the token of each byte (at most the first kMaxRenderedChars).
std::string renderTraffic(std::string_view text);
// What the RXD line shows once a reply window has closed: the reply's rendering, or the
// no-reply mark when nothing came.
std::string replyLine(std::string_view reply);

} // namespace qv7
