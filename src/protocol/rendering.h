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

} // namespace qv7
