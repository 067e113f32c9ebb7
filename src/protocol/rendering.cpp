#include "rendering.h"

#include "captions.h"

#include <array>

namespace qv7 {

namespace {

// Every printable token is the character and a blank; build them once.
constexpr std::array<char, 2 * 256> kPrintableTokens = [] {
    std::array<char, 2 * 256> tokens{};
    for (std::size_t c = 0; c < 256; ++c) {
        tokens[2 * c] = static_cast<char>(c);
        tokens[2 * c + 1] = ' ';
    }
    return tokens;
}();

} // namespace

std::string_view trafficToken(unsigned char byte)
{
    switch (byte) {
    case 6:
        return "ACK ";
    case 13:
        return "CR ";
    case 10:
        return "LF  ";
    default:
        break;
    }
    if (byte < 32 || byte > 'z')
        return "? ";
    return {&kPrintableTokens[2 * byte], 2};
}

std::string renderTraffic(std::string_view text)
{
    if (text.size() > kMaxRenderedChars)
        text = text.substr(0, kMaxRenderedChars);
    std::string rendering;
    rendering.reserve(1 + 2 * text.size() + 8);
    rendering.push_back(' ');
    for (const char c : text)
        rendering.append(trafficToken(static_cast<unsigned char>(c)));
    return rendering;
}

std::string replyLine(std::string_view reply)
{
    return reply.empty() ? std::string(kNoReplyCaption.text) : renderTraffic(reply);
}

} // namespace qv7
