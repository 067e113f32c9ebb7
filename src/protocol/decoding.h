#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv7 {

// One row of a status table: the spaced beginning of the RXD text, the status line text and,
// for scripts and monitoring, a machine word for it.
struct StatusKey {
    std::string_view key;
    std::string_view text;
    std::string_view word = {};
};

// How the reply to one query becomes a status line text. The command table says which query
// each decoding belongs to.
struct StatusDecoding {
    std::size_t prefixLength;        // characters of the RXD text that count
    std::span<const StatusKey> keys; // empty: the prefix itself is shown, followed by suffix
    std::string_view suffix;
};

inline constexpr StatusKey kPowerKeys[] = {
    {" 0 0", " Power ON", "on"},
    {" 8 0", " Stand by", "standby"},
    {" 4 0", " Count down", "warming"},
    {" 2 0", " Cooling down", "cooling"},
    {" 1 0", " Power abnormality", "fault"},
    {" 0 8", " Temperature abnormality", "fault"},
    {" 1 8", " Temperature abnormality", "fault"},
    {" 2 8", " Temperature abnormality", "fault"},
    {" 4 8", " Temperature abnormality", "fault"},
    {" 8 8", " Temperature abnormality", "fault"},
};

inline constexpr StatusKey kInputKeys[] = {
    {" 1", " Computer 1"},
    {" 2", " Computer 2"},
    {" 3", " Video"},
};

inline constexpr StatusKey kOrientationKeys[] = {
    {" 1 1", " Normally"},
    {" 1 0", " Top/Bottom reversal"},
    {" 0 1", " Left/Right reversal"},
    {" 0 0", " Top/Bottom , Left/Right reversal"},
};

inline constexpr StatusDecoding kPowerDecoding{4, kPowerKeys, ""};
inline constexpr StatusDecoding kInputDecoding{2, kInputKeys, ""};
inline constexpr StatusDecoding kLampHoursDecoding{8, {}, " Hour Use"};
inline constexpr StatusDecoding kOrientationDecoding{4, kOrientationKeys, ""};

// The status line text for an RXD text; nothing when the text matches no key.
std::optional<std::string> decodeStatus(const StatusDecoding &decoding, std::string_view rxdText);
// The machine word of the row the RXD text matches; nothing without a match or a word.
std::optional<std::string_view> statusWord(const StatusDecoding &decoding,
                                           std::string_view rxdText);

} // namespace qv7
