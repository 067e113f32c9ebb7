// The web pages' HTTP request parser over any bytes a network client can send. Input: the
// start of a connection.

#include "protocol/http.h"
#include "require.h"

#include <algorithm>
#include <cstdint>

using namespace qv7::http;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view buffer(reinterpret_cast<const char *>(data), size);
    const Limits limits;
    const Parsed parsed = parseRequest(buffer, limits);
    switch (parsed.outcome) {
    case Outcome::Incomplete:
        // What is still awaited fits the limits.
        require(size <= limits.head + limits.body);
        break;
    case Outcome::Bad:
        require(!parsed.error.empty());
        require(parsed.status == 400 || parsed.status == 413 || parsed.status == 431 ||
                parsed.status == 501 || parsed.status == 505);
        break;
    case Outcome::Complete: {
        const Request &request = parsed.request;
        require(parsed.consumed <= size && parsed.consumed <= limits.head + limits.body);
        require(request.body.size() <= limits.body);
        require(request.path.starts_with('/') && request.path.find('\0') == std::string::npos);
        for (const auto &[name, value] : request.headers) {
            require(std::ranges::none_of(name, [](char c) { return c >= 'A' && c <= 'Z'; }));
            require(value.find('\r') == std::string::npos && value.find('\n') == std::string::npos);
        }
        // A request is the same when more bytes follow it.
        const Parsed again = parseRequest(buffer.substr(0, parsed.consumed), limits);
        require(again.outcome == Outcome::Complete && again.consumed == parsed.consumed);
        formField(request.body, "password");
        cookie(request.header("cookie").value_or(""), "qv7session");
        break;
    }
    }
    return 0;
}
