#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv7 {

// One row of a status table: the spaced beginning of the RXD text and the status line text.
struct StatusKey {
    std::string_view key;
    std::string_view text;
};

// How the reply to one query becomes a status line text.
struct StatusQuery {
    std::string_view command;        // the query code and its carriage return
    std::size_t prefixLength;        // characters of the RXD text that count
    std::span<const StatusKey> keys; // empty: the prefix itself is shown, followed by suffix
    std::string_view suffix;
};

std::span<const StatusQuery> statusQueries();

// The status line text for an RXD text received while currentCommand was the last command
// sent; nothing when the command is no query or the text matches no key.
std::optional<std::string> decodeStatus(std::string_view currentCommand, std::string_view rxdText);

} // namespace qv7
