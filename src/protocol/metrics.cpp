#include "metrics.h"

#include <cstdio>
#include <vector>

namespace qv7 {

namespace {

// A label value: backslash, double quote and line feed escaped.
std::string labelValue(std::string_view value)
{
    std::string escaped;
    for (const char c : value) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return escaped;
}

struct Family {
    std::string text;
    bool sampled = false;

    Family(std::string_view name, std::string_view help)
    {
        text = "# HELP " + std::string(name) + ' ' + std::string(help) + "\n# TYPE " +
               std::string(name) + " gauge\n";
    }
    void add(std::string_view name, const std::string &labels, const std::string &value)
    {
        text += std::string(name) + '{' + labels + "} " + value + '\n';
        sampled = true;
    }
};

} // namespace

std::string metricsText(std::span<const ProjectorSample> samples)
{
    Family up("qv7_up", "Whether the projector answered its power state query (1) or not (0).");
    Family power("qv7_power_state",
                 "The projector's power state: 1 for the state it is in, 0 for the others.");
    // Prometheus wants base units: the projector counts whole hours, published as seconds.
    Family lamp("qv7_lamp_seconds",
                "Time on the projector's lamp counter, in seconds (it counts whole hours).");
    Family link("qv7_link", "The state of the line to the projector: 1 for the state it is in, "
                            "0 for the others.");
    Family answer("qv7_last_answer_timestamp_seconds",
                  "When the projector last answered, in seconds since the Unix epoch.");
    for (const ProjectorSample &sample : samples) {
        const std::string projector = "projector=\"" + labelValue(sample.projector) + '"';
        up.add("qv7_up", projector, sample.up ? "1" : "0");
        if (sample.power) {
            for (const std::string_view state : powerWords())
                power.add("qv7_power_state", projector + ",state=\"" + std::string(state) + '"',
                          state == word(*sample.power) ? "1" : "0");
        }
        if (sample.lampHours)
            lamp.add("qv7_lamp_seconds", projector,
                     std::to_string(static_cast<long long>(*sample.lampHours) * 3600));
        if (sample.link) {
            for (const std::string_view state : kLinkStates)
                link.add("qv7_link", projector + ",state=\"" + std::string(state) + '"',
                         state == *sample.link ? "1" : "0");
        }
        if (sample.lastAnswer) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.3f", *sample.lastAnswer);
            answer.add("qv7_last_answer_timestamp_seconds", projector, seconds);
        }
    }
    std::string text;
    for (const Family *family : {&up, &power, &lamp, &link, &answer}) {
        if (family->sampled || family == &up)
            text += family->text;
    }
    return text;
}

} // namespace qv7
