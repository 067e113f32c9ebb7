#include "decoding.h"

#include "rendering.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace qv7 {

namespace {

// The tables key the RXD text, in which each byte of the reply shows as its token; a key's
// characters after each blank are the bytes that show so. No token that begins with a digit
// is longer than the digit and its blank, so the bytes match exactly when the text does.
bool startsWithShown(std::string_view reply, std::string_view key)
{
    for (std::size_t i = 0; 2 * i + 1 < key.size(); ++i) {
        if (i >= reply.size() || reply[i] != key[2 * i + 1])
            return false;
    }
    return true;
}

template <typename Value>
std::optional<Reading> lookUp(std::span<const StatusKey<Value>> keys, std::string_view reply)
{
    const auto row = std::ranges::find_if(
        keys, [reply](const StatusKey<Value> &key) { return startsWithShown(reply, key.key); });
    return row == keys.end() ? std::nullopt : std::optional<Reading>(row->value);
}

template <typename Value> const Named<Value> &named(std::span<const Named<Value>> table, Value v)
{
    return *std::ranges::find(table, v, &Named<Value>::value);
}

LampTime lampTime(std::string_view reply)
{
    // What the status line shows is the beginning of the RXD text, which the first four bytes
    // cover: every token is at least two characters.
    constexpr std::size_t kDigits = kLampTimeShownLength / 2;
    LampTime lamp{renderTraffic(reply.substr(0, kDigits)).substr(0, kLampTimeShownLength),
                  std::nullopt};
    if (reply.size() < kDigits || !std::ranges::all_of(reply.substr(0, kDigits), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        return lamp;
    int hours = 0;
    for (const char digit : reply.substr(0, kDigits))
        hours = hours * 10 + (digit - '0');
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

std::optional<Reading> decodeReading(Subject subject, std::string_view reply)
{
    switch (subject) {
    case Subject::Power:
        return lookUp<PowerState>(kPowerKeys, reply);
    case Subject::Input:
        return lookUp<Input>(kInputKeys, reply);
    case Subject::Orientation:
        return lookUp<Orientation>(kOrientationKeys, reply);
    case Subject::LampTime:
        return lampTime(reply);
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
