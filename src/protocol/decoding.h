#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qv7 {

// What the projector reports, as values. The status line texts and the words that scripts and
// the broker use are rendered from these, in the tables below.
enum class PowerState { On, Standby, Warming, Cooling, PowerAbnormal, TemperatureAbnormal };
enum class Input { Pc1, Pc2, Video };
enum class Orientation { Normal, TopBottomReversed, LeftRightReversed, BothReversed };
// The lamp-time reply: the beginning of its RXD text, which the status line shows whatever it
// is, and the hours when the reply began with the counter's four digits.
struct LampTime {
    std::string shown;
    std::optional<int> hours;

    friend bool operator==(const LampTime &, const LampTime &) = default;
};
using Reading = std::variant<PowerState, Input, LampTime, Orientation>;

// Which reading a query's reply gives.
enum class Subject { None, Power, Input, LampTime, Orientation };

// A value with its status line text (exact, leading blank included) and its machine word.
template <typename Value> struct Named {
    Value value;
    std::string_view text;
    std::string_view word;
};

inline constexpr Named<PowerState> kPowerStates[] = {
    {PowerState::On, " Power ON", "on"},
    {PowerState::Standby, " Stand by", "standby"},
    {PowerState::Warming, " Count down", "warming"},
    {PowerState::Cooling, " Cooling down", "cooling"},
    {PowerState::PowerAbnormal, " Power abnormality", "fault"},
    {PowerState::TemperatureAbnormal, " Temperature abnormality", "fault"},
};

inline constexpr Named<Input> kInputs[] = {
    {Input::Pc1, " Computer 1", "pc1"},
    {Input::Pc2, " Computer 2", "pc2"},
    {Input::Video, " Video", "video"},
};

inline constexpr Named<Orientation> kOrientations[] = {
    {Orientation::Normal, " Normally", "normal"},
    {Orientation::TopBottomReversed, " Top/Bottom reversal", "top-bottom-reversed"},
    {Orientation::LeftRightReversed, " Left/Right reversal", "left-right-reversed"},
    {Orientation::BothReversed, " Top/Bottom , Left/Right reversal", "both-reversed"},
};

// One row of a status table: the spaced beginning of the RXD text and the value it reports.
template <typename Value> struct StatusKey {
    std::string_view key;
    Value value;
};

inline constexpr StatusKey<PowerState> kPowerKeys[] = {
    {" 0 0", PowerState::On},
    {" 8 0", PowerState::Standby},
    {" 4 0", PowerState::Warming},
    {" 2 0", PowerState::Cooling},
    {" 1 0", PowerState::PowerAbnormal},
    {" 0 8", PowerState::TemperatureAbnormal},
    {" 1 8", PowerState::TemperatureAbnormal},
    {" 2 8", PowerState::TemperatureAbnormal},
    {" 4 8", PowerState::TemperatureAbnormal},
    {" 8 8", PowerState::TemperatureAbnormal},
};

inline constexpr StatusKey<Input> kInputKeys[] = {
    {" 1", Input::Pc1},
    {" 2", Input::Pc2},
    {" 3", Input::Video},
};

inline constexpr StatusKey<Orientation> kOrientationKeys[] = {
    {" 1 1", Orientation::Normal},
    {" 1 0", Orientation::TopBottomReversed},
    {" 0 1", Orientation::LeftRightReversed},
    {" 0 0", Orientation::BothReversed},
};

// Characters of the RXD text that the lamp time shows.
inline constexpr std::size_t kLampTimeShownLength = 8;
inline constexpr std::string_view kLampTimeSuffix = " Hour Use";

// The reading a reply's bytes give for a subject: the row whose key the beginning of their RXD
// text is; nothing when it matches no key (the lamp time always reads).
std::optional<Reading> decodeReading(Subject subject, std::string_view reply);

// The status line text of a reading, exactly as the panel shows it.
std::string statusText(const Reading &reading);
// The same for scripts and the broker: no leading blank, the lamp's digits together
// ("0123 Hour Use").
std::string scriptText(const Reading &reading);

std::string_view word(PowerState state);
std::string_view word(Input input);
std::string_view word(Orientation orientation);
// The power words, each once, in the table's order: on, standby, warming, cooling, fault.
std::vector<std::string_view> powerWords();
// The input words in the table's order: pc1, pc2, video.
std::vector<std::string_view> inputWords();
// The value a word names, in any case ("PC1", "On"); nothing for another word.
std::optional<Input> inputNamed(std::string_view word);

} // namespace qv7
