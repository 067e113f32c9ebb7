// The simulated projector's line parser over any bytes, in any pieces, on a fake clock.
// Input: a settings byte (pairs of bits from the lowest: orientation, lamp speed-up, warm-up and
// cool-down, starting lamp hours), then steps: a header byte (low four bits: how many bytes
// follow; bits 4 to 6: how far the clock moves first; bit 7: one more byte switches an
// abnormality, by its low two bits 0 power on, 1 off, 2 temperature on, 3 off) and its bytes.
//
// One projector takes each step's bytes at once, a second one byte at a time and hears nothing
// of steps without bytes: they must answer and count the lamp alike, as an independent reading
// of the line expects.

#include "protocol/commandtable.h"
#include "require.h"
#include "sim/projector.h"

#include <algorithm>
#include <array>
#include <cstdint>

using namespace qv7;
using namespace qv7::sim;
using namespace std::chrono_literals;

namespace {

constexpr std::array<std::chrono::nanoseconds, 8> kClockSteps{0ns,   250us, 1ms,  5ms,
                                                              999ms, 3s,    1min, 1h};

ProjectorSettings settingsFrom(std::uint8_t byte)
{
    static constexpr std::array kOrientations{"11", "10", "01", "00"};
    static constexpr std::array kSpeedUps{1, 60, 3600, SimulatedProjector::kMaxLampSpeedUp};
    static constexpr std::array<std::chrono::milliseconds, 4> kTransitions{0ms, 5ms, 3s, 30s};
    static constexpr std::array kLampHours{0, 1, 9998, SimulatedProjector::kMaxLampHours};
    const auto transition = kTransitions[(byte >> 4) & 3];
    return {transition, transition, kSpeedUps[(byte >> 2) & 3], kLampHours[(byte >> 6) & 3],
            kOrientations[byte & 3]};
}

bool isOperation(std::string_view code)
{
    return std::ranges::any_of(kOneShotCommands, [&](const auto &c) { return c.code == code; }) ||
           std::ranges::any_of(kHoldCommands, [&](const auto &c) { return c.code == code; });
}

bool digits(std::string_view text, std::size_t count, char low = '0', char high = '9')
{
    return text.size() == count &&
           std::ranges::all_of(text, [&](char c) { return c >= low && c <= high; });
}

// Walks the line as the projector should read it: a line is the bytes before a carriage
// return, and only a line of exactly three characters is answered — a query always, with
// its form of answer; an operation with an acknowledgement or not at all, by the state.
void checkAnswers(std::string_view line, std::string_view answers, std::string_view orientation)
{
    std::size_t at = 0;
    auto next = [&]() -> std::string_view {
        const std::size_t end = answers.find(kCommandTerminator, at);
        require(end != std::string_view::npos);
        const std::string_view piece = answers.substr(at, end - at);
        at = end + 1;
        return piece;
    };
    std::size_t begin = 0;
    for (std::size_t end; (end = line.find(kCommandTerminator, begin)) != line.npos;
         begin = end + 1) {
        const std::string_view code = line.substr(begin, end - begin);
        if (code.size() != SimulatedProjector::kCodeLength)
            continue;
        if (code == "CR0") {
            const std::string_view status = next();
            require(digits(status, 2) && (status[1] == '0' || status[1] == '8'));
        } else if (code == "CR1") {
            require(digits(next(), 1, '1', '3'));
        } else if (code == "CR3") {
            require(digits(next(), 4));
        } else if (code == "CR4") {
            require(next() == orientation);
        } else if (isOperation(code) && answers.substr(at).starts_with('\x06')) {
            require(next() == "\x06");
        }
    }
    require(at == answers.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const ProjectorSettings settings = settingsFrom(data[0]);
    SimulatedProjector whole(settings), byByte(settings);
    TimePoint now{};
    std::string line, wholeAnswers, byteAnswers;
    int lampHours = settings.lampHours;
    for (std::size_t at = 1; at < size;) {
        const std::uint8_t header = data[at++];
        now += kClockSteps[(header >> 4) & 7];
        if ((header & 0x80) && at < size) {
            const std::uint8_t event = data[at++];
            const bool on = (event & 1) == 0;
            for (SimulatedProjector *projector : {&whole, &byByte}) {
                if (event & 2)
                    projector->setTemperatureAbnormality(on);
                else
                    projector->setPowerAbnormality(on, now);
            }
        }
        const std::size_t count = std::min<std::size_t>(header & 0x0F, size - at);
        const std::string_view bytes(reinterpret_cast<const char *>(data + at), count);
        at += count;
        line += bytes;

        wholeAnswers += whole.receive(bytes, now);
        for (const char c : bytes)
            byteAnswers += byByte.receive(std::string_view(&c, 1), now);
        if (count > 0) {
            require(whole.lampHours() == byByte.lampHours());
            require(whole.powerState() == byByte.powerState());
        }
        require(whole.lampHours() >= lampHours &&
                whole.lampHours() <= SimulatedProjector::kMaxLampHours);
        lampHours = whole.lampHours();
    }
    byByte.advance(now);
    require(whole.lampHours() == byByte.lampHours());
    require(wholeAnswers == byteAnswers);
    checkAnswers(line, wholeAnswers, settings.orientation);
    return 0;
}
