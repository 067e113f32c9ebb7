// The traffic rendering and the status decoding over any bytes a line can bring: the bytes
// read as the design reads their RXD text. Input: a
// selector, then the text. The selector's low three bits pick the command last sent ('0' to
// '7': the four queries, then no query); '8' to '?' also repeat the text past the rendering's
// limit, only those, as so long a text takes hundreds of times as long to check.

#include "protocol/commandtable.h"
#include "protocol/rendering.h"
#include "require.h"

#include <algorithm>
#include <array>
#include <cstdint>

using namespace qv7;

namespace {

constexpr std::array<std::string_view, 8> kCommands{"CR0\r", "CR1\r", "CR3\r", "CR4\r",
                                                    "C00\r", "",      "CR2\r", "CR3"};
constexpr std::size_t kQueryCount = 4;

// Every byte's token length, the tokens checked once: something shown, then a blank.
const std::array<std::size_t, 256> kTokenLengths = [] {
    std::array<std::size_t, 256> lengths{};
    for (std::size_t byte = 0; byte < lengths.size(); ++byte) {
        const std::string_view token = trafficToken(static_cast<unsigned char>(byte));
        require(token.size() >= 2 && token.back() == ' ');
        lengths[byte] = token.size();
    }
    return lengths;
}();

std::string checkRendering(std::string_view text, std::size_t splitSeed)
{
    const std::string rendering = renderTraffic(text);
    require(!rendering.empty() && rendering.front() == ' ');

    const std::string_view shown = text.substr(0, std::min(text.size(), kMaxRenderedChars));
    std::size_t length = 1;
    for (const char c : shown)
        length += kTokenLengths[static_cast<unsigned char>(c)];
    require(rendering.size() == length);
    // Past the limit the length says enough: a second pass would halve the slowest inputs' speed.
    if (shown.size() < text.size())
        return rendering;

    // The line may show a text in two pieces as it came: their renderings joined are the whole.
    const std::size_t split = splitSeed % (shown.size() + 1);
    const std::string head = renderTraffic(shown.substr(0, split));
    const std::string tail = renderTraffic(shown.substr(split));
    require(rendering.size() == head.size() + tail.size() - 1);
    require(rendering.compare(0, head.size(), head) == 0);
    require(rendering.compare(head.size(), std::string::npos, tail, 1) == 0);
    return rendering;
}

// The design reads the RXD text: the row whose key begins it, and for the lamp time its first
// characters, which are the hours when they are four digits each after its blank.
template <typename Value>
std::optional<Reading> readShown(std::span<const StatusKey<Value>> keys, std::string_view rxdText)
{
    const auto row = std::ranges::find_if(
        keys, [rxdText](const StatusKey<Value> &key) { return rxdText.starts_with(key.key); });
    return row == keys.end() ? std::nullopt : std::optional<Reading>(row->value);
}

std::optional<Reading> readShown(Subject subject, std::string_view rxdText)
{
    switch (subject) {
    case Subject::Power:
        return readShown<PowerState>(kPowerKeys, rxdText);
    case Subject::Input:
        return readShown<Input>(kInputKeys, rxdText);
    case Subject::Orientation:
        return readShown<Orientation>(kOrientationKeys, rxdText);
    case Subject::LampTime: {
        LampTime lamp{std::string(rxdText.substr(0, kLampTimeShownLength)), std::nullopt};
        if (lamp.shown.size() < kLampTimeShownLength)
            return lamp;
        int hours = 0;
        for (std::size_t i = 0; i < kLampTimeShownLength; i += 2) {
            const char digit = lamp.shown[i + 1];
            if (lamp.shown[i] != ' ' || digit < '0' || digit > '9')
                return lamp;
            hours = hours * 10 + (digit - '0');
        }
        lamp.hours = hours;
        return lamp;
    }
    case Subject::None:
        break;
    }
    return std::nullopt;
}

void checkDecoding(std::size_t selector, std::string_view reply, std::string_view rxdText)
{
    const std::optional<Reading> reading = decodeReply(kCommands[selector], reply);
    require(reading == readShown(replySubject(kCommands[selector]), rxdText));
    if (selector >= kQueryCount)
        require(!reading);
    if (!reading)
        return;
    const std::string status = statusText(*reading);
    require(status.starts_with(' ') || std::holds_alternative<LampTime>(*reading));
    if (kCommands[selector] == "CR3\r") {
        const auto *lamp = std::get_if<LampTime>(&*reading);
        require(lamp && status.ends_with(kLampTimeSuffix));
        require(!lamp->hours || (*lamp->hours >= 0 && *lamp->hours <= 9999));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t selector = data[0] & 7;
    const bool beyondLimit = (data[0] & 0xF8) == 0x38;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    // Spread over texts of any length up to the limit.
    const std::size_t splitSeed = text.empty() ? 0 : static_cast<unsigned char>(text[0]) * 131u;

    try {
        while (beyondLimit && !text.empty() && text.size() <= kMaxRenderedChars)
            text += text;
        const std::string rendering = checkRendering(text, splitSeed);
        // The bytes read as the RXD line they show reads.
        checkDecoding(selector, text, rendering);
    } catch (...) {
        __builtin_trap();
    }
    return 0;
}
