#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace qv7::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

enum class PowerState { Standby, CountDown, On, Cooling };
enum class Input { Computer1 = 1, Computer2 = 2, Video = 3 };

struct ProjectorSettings {
    std::chrono::milliseconds warmUp{3000};
    std::chrono::milliseconds coolDown{3000};
    // The lamp counts while the projector is on, not during the warm-up or the cool-down.
    int lampSpeedUp = 1;            // lamp seconds per second; 3600 runs an hour a second
    int lampHours = 0;              // on the counter at the start
    std::string orientation = "11"; // CR4's answer: "11" normal, "10", "01" or "00"
};

// The projector at the far end of the line. It answers lines of three characters and a
// carriage return. It has no clock of its own: every call brings the time, so the warm-up,
// the cool-down and the lamp counter follow whatever clock drives it, a fake one in tests.
class SimulatedProjector {
public:
    using Settings = ProjectorSettings;

    static constexpr std::size_t kCodeLength = 3;
    static constexpr int kMaxLampHours = 9999;
    static constexpr int kMaxLampSpeedUp = 1'000'000;

    // Throws std::invalid_argument for settings the projector cannot have.
    explicit SimulatedProjector(Settings settings = {});

    // Takes bytes as they come off the line and returns the answer to send back, often none.
    std::string receive(std::string_view bytes, TimePoint now);
    // Brings the warm-up, the cool-down and the lamp counter up to now.
    void advance(TimePoint now);

    // As of the last call that brought the time.
    PowerState powerState() const { return state_; }
    std::string status() const; // what CR0 answers, before the carriage return
    Input input() const { return input_; }
    int lampHours() const { return lampHours_; }
    const Settings &settings() const { return settings_; }

    // A power abnormality puts the lamp out and holds the projector in standby until cleared;
    // a temperature abnormality is only reported. Both show in the status.
    void setPowerAbnormality(bool abnormal, TimePoint now);
    void setTemperatureAbnormality(bool abnormal) { temperatureAbnormal_ = abnormal; }
    bool powerAbnormality() const { return powerAbnormal_; }
    bool temperatureAbnormality() const { return temperatureAbnormal_; }

private:
    std::string answer(std::string_view code, TimePoint now);

    Settings settings_;
    PowerState state_ = PowerState::Standby;
    Input input_ = Input::Computer1;
    bool powerAbnormal_ = false;
    bool temperatureAbnormal_ = false;
    TimePoint deadline_{}; // end of the warm-up or the cool-down
    int lampHours_ = 0;
    TimePoint lampCountedTo_{};
    std::chrono::milliseconds lampPartHour_{}; // lamp time short of the next whole hour
    std::string line_;
    bool discarding_ = false; // the line outgrew a code: drop it up to its carriage return
};

} // namespace qv7::sim
