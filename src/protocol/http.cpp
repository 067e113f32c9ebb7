#include "http.h"

#include <algorithm>
#include <charconv>

namespace qv7::http {

namespace {

constexpr std::string_view kTokenExtras = "!#$%&'*+-.^_`|~";

bool isToken(std::string_view text)
{
    return !text.empty() && std::ranges::all_of(text, [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               kTokenExtras.find(c) != std::string_view::npos;
    });
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view text)
{
    std::string result(text);
    std::ranges::transform(result, result.begin(), lower);
    return result;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Whether a comma-separated header value has a token, in any case ("keep-alive, Upgrade").
bool listHas(std::string_view list, std::string_view token)
{
    while (!list.empty()) {
        const auto comma = list.find(',');
        if (equalsIgnoringCase(trimmed(list.substr(0, comma)), token))
            return true;
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

Parsed bad(int status, std::string error)
{
    Parsed parsed;
    parsed.outcome = Outcome::Bad;
    parsed.status = status;
    parsed.error = std::move(error);
    return parsed;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

} // namespace

std::optional<std::string_view> Request::header(std::string_view lowerCaseName) const
{
    const auto it =
        std::ranges::find(headers, lowerCaseName,
                          [](const auto &header) -> std::string_view { return header.first; });
    if (it == headers.end())
        return std::nullopt;
    return std::string_view(it->second);
}

bool Request::keepAlive() const
{
    const std::string_view connection = header("connection").value_or("");
    return http11 ? !listHas(connection, "close") : listHas(connection, "keep-alive");
}

bool Request::upgradesToWebSocket() const
{
    return method == "GET" && listHas(header("connection").value_or(""), "upgrade") &&
           listHas(header("upgrade").value_or(""), "websocket");
}

Parsed parseRequest(std::string_view buffer, const Limits &limits)
{
    // Lines end with CRLF; a bare LF is taken as well, as most servers do.
    const auto end = buffer.find("\r\n\r\n");
    std::size_t headEnd = end == std::string_view::npos ? end : end + 4;
    if (const auto lf = buffer.find("\n\n"); lf != std::string_view::npos && lf + 2 < headEnd)
        headEnd = lf + 2;
    if (headEnd == std::string_view::npos || headEnd > limits.head) {
        if (buffer.size() > limits.head)
            return bad(431, "the request line and headers are longer than " +
                                std::to_string(limits.head) + " bytes");
        return {};
    }

    std::string_view head = buffer.substr(0, headEnd);
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        auto lf = head.find('\n');
        std::string_view line = head.substr(0, lf);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        lines.push_back(line);
        head.remove_prefix(lf + 1);
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.empty())
        return bad(400, "the request has no request line");

    Parsed parsed;
    Request &request = parsed.request;
    const std::string_view requestLine = lines.front();
    const auto firstBlank = requestLine.find(' ');
    const auto lastBlank = requestLine.rfind(' ');
    if (firstBlank == std::string_view::npos || firstBlank == lastBlank)
        return bad(400, "the request line is not METHOD TARGET VERSION");
    request.method = std::string(requestLine.substr(0, firstBlank));
    const std::string_view target = requestLine.substr(firstBlank + 1, lastBlank - firstBlank - 1);
    const std::string_view version = requestLine.substr(lastBlank + 1);
    if (!isToken(request.method))
        return bad(400, "the method is not a word");
    if (!version.starts_with("HTTP/"))
        return bad(400, "the request line does not end with HTTP/1.1");
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return bad(505, "only HTTP/1.0 and HTTP/1.1 are served");
    request.http11 = version == "HTTP/1.1";
    if (!target.starts_with('/') ||
        !std::ranges::all_of(target, [](char c) { return c > ' ' && c < 0x7f; }))
        return bad(400, "the target is not a path");
    const auto question = target.find('?');
    const auto path = percentDecode(target.substr(0, question), false);
    if (!path)
        return bad(400, "the path has a broken %-escape");
    request.path = *path;
    if (question != std::string_view::npos)
        request.query = std::string(target.substr(question + 1));

    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon)))
            return bad(400, "a header line is not NAME: VALUE");
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (std::ranges::any_of(value, [](char c) { return c == '\0' || c == '\r'; }))
            return bad(400, "a header has a control character in its value");
        request.headers.emplace_back(lowered(line.substr(0, colon)), std::string(value));
    }
    const auto hosts = std::ranges::count(request.headers, std::string("host"),
                                          [](const auto &header) { return header.first; });
    if (request.http11 ? hosts != 1 : hosts > 1)
        return bad(400, "an HTTP/1.1 request has one Host header");
    if (request.header("transfer-encoding"))
        return bad(501, "a body is sent with Content-Length, not Transfer-Encoding");

    std::size_t length = 0;
    if (const auto contentLength = request.header("content-length")) {
        const char *first = contentLength->data();
        const char *last = first + contentLength->size();
        const auto [ptr, ec] = std::from_chars(first, last, length);
        if (contentLength->empty() || ec == std::errc::result_out_of_range)
            return bad(413, "the body is longer than " + std::to_string(limits.body) + " bytes");
        if (ec != std::errc() || ptr != last)
            return bad(400, "Content-Length is not a number");
        for (const auto &[name, value] : request.headers) {
            if (name == "content-length" && value != *contentLength)
                return bad(400, "the Content-Length headers disagree");
        }
    }
    if (length > limits.body)
        return bad(413, "the body is longer than " + std::to_string(limits.body) + " bytes");
    if (buffer.size() - headEnd < length)
        return {};
    request.body = std::string(buffer.substr(headEnd, length));
    parsed.outcome = Outcome::Complete;
    parsed.consumed = headEnd + length;
    return parsed;
}

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+' && plusIsSpace) {
            c = ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0 || (high == 0 && low == 0))
                return std::nullopt;
            c = char(high * 16 + low);
            i += 2;
        }
        decoded += c;
    }
    return decoded;
}

std::optional<std::string> formField(std::string_view body, std::string_view name)
{
    while (!body.empty()) {
        const auto amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        const auto equals = pair.find('=');
        if (percentDecode(pair.substr(0, equals), true) == name)
            return equals == std::string_view::npos ? std::string()
                                                    : percentDecode(pair.substr(equals + 1), true);
        if (amp == std::string_view::npos)
            break;
        body.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::optional<std::string_view> cookie(std::string_view header, std::string_view name)
{
    while (!header.empty()) {
        const auto semicolon = header.find(';');
        const std::string_view pair = trimmed(header.substr(0, semicolon));
        const auto equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name)
            return pair.substr(equals + 1);
        if (semicolon == std::string_view::npos)
            break;
        header.remove_prefix(semicolon + 1);
    }
    return std::nullopt;
}

std::string_view reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 421:
        return "Misdirected Request";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Error";
    }
}

} // namespace qv7::http
