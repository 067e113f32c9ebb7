#include "pjlinkdatagram.h"

#include "pjlink.h"

namespace qv7::pjlink {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

Mac macOfName(std::string_view name)
{
    // FNV-1a, 64 bits, fixed by its definition (unlike std::hash), then MurmurHash3's
    // finalizer: without it names that differ in their last letter ("p1", "p2") share most
    // bytes.
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : name) {
        hash ^= std::uint8_t(c);
        hash *= 0x100000001b3u;
    }
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdu;
    hash ^= hash >> 33;
    hash *= 0xc4ceb9fe1a85ec53u;
    hash ^= hash >> 33;
    Mac mac;
    for (std::size_t i = 0; i < mac.size(); ++i)
        mac[i] = std::uint8_t(hash >> (8 * i));
    mac[0] = std::uint8_t((mac[0] | 0x02) & ~0x01);
    return mac;
}

std::optional<Mac> parseMac(std::string_view text)
{
    if (text.size() != 17)
        return std::nullopt;
    Mac mac;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        const int high = hexValue(text[3 * i]);
        const int low = hexValue(text[3 * i + 1]);
        if (high < 0 || low < 0 || (i < 5 && text[3 * i + 2] != ':'))
            return std::nullopt;
        mac[i] = std::uint8_t(high * 16 + low);
    }
    return mac;
}

std::string macText(const Mac &mac)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : mac) {
        if (!text.empty())
            text += ':';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0f];
    }
    return text;
}

bool isSearch(std::string_view datagram)
{
    return datagram == "%2SRCH\r" || datagram == "%2SRCH\r\n";
}

std::string classTwo(std::string_view body, std::string_view value)
{
    return answer(Request{.version = '2', .body = std::string(body), .parameter = {}}, value);
}

} // namespace qv7::pjlink
