#include "decoding.h"

#include <array>

namespace qv7 {

namespace {

constexpr std::array kPowerKeys{
    StatusKey{" 0 0", " Power ON"},
    StatusKey{" 8 0", " Stand by"},
    StatusKey{" 4 0", " Count down"},
    StatusKey{" 2 0", " Cooling down"},
    StatusKey{" 1 0", " Power abnormality"},
    StatusKey{" 0 8", " Temperature abnormality"},
    StatusKey{" 1 8", " Temperature abnormality"},
    StatusKey{" 2 8", " Temperature abnormality"},
    StatusKey{" 4 8", " Temperature abnormality"},
    StatusKey{" 8 8", " Temperature abnormality"},
};

constexpr std::array kInputKeys{
    StatusKey{" 1", " Computer 1"},
    StatusKey{" 2", " Computer 2"},
    StatusKey{" 3", " Video"},
};

constexpr std::array kOrientationKeys{
    StatusKey{" 1 1", " Normally"},
    StatusKey{" 1 0", " Top/Bottom reversal"},
    StatusKey{" 0 1", " Left/Right reversal"},
    StatusKey{" 0 0", " Top/Bottom , Left/Right reversal"},
};

constexpr std::array kQueries{
    StatusQuery{"CR0\r", 4, kPowerKeys, ""},
    StatusQuery{"CR1\r", 2, kInputKeys, ""},
    StatusQuery{"CR4\r", 4, kOrientationKeys, ""},
    StatusQuery{"CR3\r", 8, {}, " Hour Use"},
};

} // namespace

std::span<const StatusQuery> statusQueries()
{
    return kQueries;
}

std::optional<std::string> decodeStatus(std::string_view currentCommand, std::string_view rxdText)
{
    for (const auto &query : kQueries) {
        if (currentCommand != query.command)
            continue;
        const auto prefix = rxdText.substr(0, query.prefixLength);
        if (query.keys.empty())
            return std::string(prefix).append(query.suffix);
        for (const auto &row : query.keys) {
            if (prefix == row.key)
                return std::string(row.text);
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace qv7
