#pragma once

#include "protocol/decoding.h"
#include "protocol/metrics.h"

#include <bitset>
#include <cstddef>
#include <optional>
#include <string_view>

namespace qv7 {

// Whether the projector answers: up, silent (a query went unanswered), or the line is down.
enum class Link { Up, Silent, Down };
// "up", "silent", "down", as the topics and the metrics say it.
inline std::string_view word(Link link)
{
    return kLinkStates[std::size_t(link)];
}

// What a shared line knows of its projector, as values; each face says it in its own words.
struct LineState {
    enum class Field { Link, Power, Input, LampHours, Orientation, VideoMute, AudioMute, Freeze };
    static constexpr std::size_t kFields = 8;

    Link link = Link::Down;
    std::optional<PowerState> power;
    std::optional<Input> input;
    std::optional<int> lampHours;
    std::optional<Orientation> orientation;
    // The settings the projector cannot be asked for: as last set through the line.
    bool videoMute = false;
    bool audioMute = false;
    bool freeze = false;
    std::optional<double> lastAnswer; // Unix time
    // The fields given a value since the start (an unknown power after a loss among them).
    std::bitset<kFields> known{1u << std::size_t(Field::Link)};

    bool isKnown(Field field) const { return known[std::size_t(field)]; }
};

// Whether the projector can take a command now, asked once of the line for everyone who asks,
// each of whom says the answer in its own protocol.
enum class Verdict {
    Now,     // sent in its turn
    Waits,   // not until the projector is on (or its state is known)
    Already, // nothing to do: it asks to switch off a projector that is off or cooling
    NotNow,  // refused for now: power on while it cools
    Failed,  // the line is down, or the projector reports a fault
};

} // namespace qv7
