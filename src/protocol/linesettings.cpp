#include "linesettings.h"

#include <charconv>
#include <vector>

namespace qv7 {

namespace {

std::vector<std::string_view> splitFields(std::string_view text)
{
    std::vector<std::string_view> fields;
    for (;;) {
        const auto comma = text.find(',');
        fields.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos)
            return fields;
        text.remove_prefix(comma + 1);
    }
}

std::optional<int> parseNumber(std::string_view field)
{
    int value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc{} || end != field.data() + field.size() || field.empty())
        return std::nullopt;
    return value;
}

std::optional<Parity> parseParity(std::string_view field)
{
    if (field.size() != 1)
        return std::nullopt;
    switch (field.front()) {
    case 'N':
    case 'n':
        return Parity::None;
    case 'E':
    case 'e':
        return Parity::Even;
    case 'O':
    case 'o':
        return Parity::Odd;
    case 'M':
    case 'm':
        return Parity::Mark;
    case 'S':
    case 's':
        return Parity::Space;
    default:
        return std::nullopt;
    }
}

std::optional<StopBits> parseStopBits(std::string_view field)
{
    if (field == "1")
        return StopBits::One;
    if (field == "1.5")
        return StopBits::OneAndHalf;
    if (field == "2")
        return StopBits::Two;
    return std::nullopt;
}

} // namespace

std::optional<LineSettings> parseLineSettings(std::string_view text)
{
    const auto fields = splitFields(text);
    if (fields.size() != 4)
        return std::nullopt;
    const auto baud = parseNumber(fields[0]);
    const auto parity = parseParity(fields[1]);
    const auto data = parseNumber(fields[2]);
    const auto stop = parseStopBits(fields[3]);
    if (!baud || *baud <= 0 || !parity || !data || *data < 5 || *data > 8 || !stop)
        return std::nullopt;
    return LineSettings{*baud, *parity, *data, *stop};
}

std::optional<std::string_view> projectorLineSettings(std::string_view baudRate)
{
    for (const std::string_view settings : {kFastLineSettings, kSlowLineSettings}) {
        if (settings.substr(0, settings.find(',')) == baudRate)
            return settings;
    }
    return std::nullopt;
}

std::string formatLineSettings(const LineSettings &settings)
{
    static constexpr char kParity[] = {'N', 'E', 'O', 'M', 'S'};
    static constexpr const char *kStopBits[] = {"1", "1.5", "2"};
    return std::to_string(settings.baudRate) + ',' + kParity[int(settings.parity)] + ',' +
           std::to_string(settings.dataBits) + ',' + kStopBits[int(settings.stopBits)];
}

} // namespace qv7
