#include "decoding.h"

namespace qv7 {

std::optional<std::string> decodeStatus(const StatusDecoding &decoding, std::string_view rxdText)
{
    const auto prefix = rxdText.substr(0, decoding.prefixLength);
    if (decoding.keys.empty())
        return std::string(prefix).append(decoding.suffix);
    for (const auto &row : decoding.keys) {
        if (prefix == row.key)
            return std::string(row.text);
    }
    return std::nullopt;
}

} // namespace qv7
