#include "decoding.h"

namespace qv7 {

namespace {

const StatusKey *findKey(const StatusDecoding &decoding, std::string_view rxdText)
{
    const auto prefix = rxdText.substr(0, decoding.prefixLength);
    for (const auto &row : decoding.keys) {
        if (prefix == row.key)
            return &row;
    }
    return nullptr;
}

} // namespace

std::optional<std::string> decodeStatus(const StatusDecoding &decoding, std::string_view rxdText)
{
    if (decoding.keys.empty())
        return std::string(rxdText.substr(0, decoding.prefixLength)).append(decoding.suffix);
    const StatusKey *row = findKey(decoding, rxdText);
    return row ? std::optional<std::string>(row->text) : std::nullopt;
}

std::optional<std::string_view> statusWord(const StatusDecoding &decoding, std::string_view rxdText)
{
    const StatusKey *row = findKey(decoding, rxdText);
    return row && !row->word.empty() ? std::optional(row->word) : std::nullopt;
}

} // namespace qv7
