#include "decoding.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace qv7 {

namespace {

template <typename Value>
std::optional<Reading> lookUp(std::span<const StatusKey<Value>> keys, std::size_t keyLength,
                              std::string_view rxdText)
{
    const auto key = rxdText.substr(0, keyLength);
    const auto row = std::ranges::find(keys, key, &StatusKey<Value>::key);
    return row == keys.end() ? std::nullopt : std::optional<Reading>(row->value);
}

template <typename Value> const Named<Value> &named(std::span<const Named<Value>> table, Value v)
{
    return *std::ranges::find(table, v, &Named<Value>::value);
}

LampTime lampTime(std::string_view rxdText)
{
    LampTime lamp{std::string(rxdText.substr(0, kLampTimeShownLength)), std::nullopt};
    // Four digits, each after its blank: " 0 1 2 3".
    int hours = 0;
    for (std::size_t i = 0; i < kLampTimeShownLength; i += 2) {
        if (lamp.shown.size() < i + 2 || lamp.shown[i] != ' ' ||
            !std::isdigit(static_cast<unsigned char>(lamp.shown[i + 1])))
            return lamp;
        hours = hours * 10 + (lamp.shown[i + 1] - '0');
    }
    lamp.hours = hours;
    return lamp;
}

bool sameWord(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

template <typename... Handlers> struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <typename... Handlers> Overloaded(Handlers...) -> Overloaded<Handlers...>;

} // namespace

std::optional<Reading> decodeReading(Subject subject, std::string_view rxdText)
{
    switch (subject) {
    case Subject::Power:
        return lookUp<PowerState>(kPowerKeys, kPowerKeyLength, rxdText);
    case Subject::Input:
        return lookUp<Input>(kInputKeys, kInputKeyLength, rxdText);
    case Subject::Orientation:
        return lookUp<Orientation>(kOrientationKeys, kOrientationKeyLength, rxdText);
    case Subject::LampTime:
        return lampTime(rxdText);
    case Subject::None:
        break;
    }
    return std::nullopt;
}

std::string statusText(const Reading &reading)
{
    return std::visit(
        Overloaded{
            [](PowerState s) { return std::string(named<PowerState>(kPowerStates, s).text); },
            [](Input i) { return std::string(named<Input>(kInputs, i).text); },
            [](Orientation o) { return std::string(named<Orientation>(kOrientations, o).text); },
            [](const LampTime &lamp) { return lamp.shown + std::string(kLampTimeSuffix); },
        },
        reading);
}

std::string scriptText(const Reading &reading)
{
    if (const auto *lamp = std::get_if<LampTime>(&reading); lamp && lamp->hours) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04d", *lamp->hours);
        return digits + std::string(kLampTimeSuffix);
    }
    std::string text = statusText(reading);
    const auto first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::string_view word(PowerState state)
{
    return named<PowerState>(kPowerStates, state).word;
}

std::string_view word(Input input)
{
    return named<Input>(kInputs, input).word;
}

std::string_view word(Orientation orientation)
{
    return named<Orientation>(kOrientations, orientation).word;
}

std::vector<std::string_view> powerWords()
{
    std::vector<std::string_view> words;
    for (const auto &row : kPowerStates) {
        if (std::ranges::find(words, row.word) == words.end())
            words.push_back(row.word);
    }
    return words;
}

std::vector<std::string_view> inputWords()
{
    std::vector<std::string_view> words;
    for (const auto &row : kInputs)
        words.push_back(row.word);
    return words;
}

std::optional<Input> inputNamed(std::string_view text)
{
    const auto row = std::ranges::find_if(
        kInputs, [text](const Named<Input> &input) { return sameWord(input.word, text); });
    return row == std::end(kInputs) ? std::nullopt : std::optional(row->value);
}

} // namespace qv7
