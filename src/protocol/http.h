#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv7::http {

// How much of a request a small server reads before it gives up on it.
struct Limits {
    std::size_t head = 8192; // request line and headers
    std::size_t body = 4096;
};

struct Request {
    std::string method;
    std::string path;  // percent-decoded, without the query
    std::string query; // as sent, without the "?"
    bool http11 = true;
    std::vector<std::pair<std::string, std::string>> headers; // names in lower case
    std::string body;

    // The value of a header (the first, if it came more than once).
    std::optional<std::string_view> header(std::string_view lowerCaseName) const;
    // The connection stays open for the next request.
    bool keepAlive() const;
    // An upgrade to a WebSocket.
    bool upgradesToWebSocket() const;
};

enum class Outcome { Incomplete, Complete, Bad };

// What the front of a buffer holds: a whole request, the start of one, or something that no
// request is, with the status code and text to answer it with.
struct Parsed {
    Outcome outcome = Outcome::Incomplete;
    Request request;
    std::size_t consumed = 0; // bytes of the buffer that the request took
    int status = 0;           // for Bad: 400, 413, 431, 501 or 505
    std::string error;        // for Bad: what was wrong, in words
};

// Reads an HTTP/1.0 or HTTP/1.1 request; bodies by Content-Length only.
Parsed parseRequest(std::string_view buffer, const Limits &limits = {});

// "%41b+c" as "Ab c" (plus as a blank only in forms); nothing when an escape is broken or
// decodes to a NUL.
std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace);
// A field of an application/x-www-form-urlencoded body, decoded.
std::optional<std::string> formField(std::string_view body, std::string_view name);
// A cookie of a Cookie header.
std::optional<std::string_view> cookie(std::string_view header, std::string_view name);
// The reason phrase of a status code this server answers with.
std::string_view reason(int status);

} // namespace qv7::http
