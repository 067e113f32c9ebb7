// The PJLink request parser over any line a network client can send. Input: the line, without
// its carriage return.

#include "protocol/pjlink.h"
#include "require.h"

#include <cstdint>

using namespace qv7::pjlink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char *>(data), size);
    const auto request = parseRequest(line);
    if (!request)
        return 0;
    require(line.starts_with('%') && request->body.size() == kBodyLength);
    const auto found = lookup(*request);
    const std::string_view value =
        std::holds_alternative<Error>(found) ? errorText(std::get<Error>(found)) : "OK";
    // An answer is one line: the client's class and body, and nothing that ends it early.
    const std::string text = answer(*request, value);
    require(text.find(kTerminator) == text.size() - 1 && text[1] == line[1]);
    if (const auto *row = std::get_if<const Row *>(&found)) {
        // Only a known request of this class, with a parameter of the table, reaches a row.
        require((*row)->since <= request->version && request->version <= '2' &&
                (*row)->body == request->body);
        require((*row)->parameter == request->parameter || (*row)->ask == Ask::Lacking ||
                ((*row)->ask == Ask::SelectInput && inputOfCode(request->parameter)) ||
                ((*row)->ask == Ask::InputName && inputOfNameQuery(request->parameter)));
    }
    return 0;
}
