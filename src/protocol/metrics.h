#pragma once

#include "decoding.h"

#include <optional>
#include <span>
#include <string>

namespace qv7 {

// What monitoring is told of one projector. A program that only asks (qv7ctl) knows the
// readings; the owner of a line (the bridge) also knows its link and when it last answered.
struct ProjectorSample {
    std::string projector;
    bool up = false; // answered its power state query
    std::optional<PowerState> power;
    std::optional<int> lampHours;
    std::optional<std::string_view> link; // "up", "silent" or "down"
    std::optional<double> lastAnswer;     // Unix time, in seconds
};

// The words of the link families.
inline constexpr std::string_view kLinkStates[] = {"up", "silent", "down"};

// The samples in the Prometheus text exposition format (version 0.0.4), in base units: the
// lamp counter's hours as seconds. A family no sample has a value for is left out.
std::string metricsText(std::span<const ProjectorSample> samples);

} // namespace qv7
