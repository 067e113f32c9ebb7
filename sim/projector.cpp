#include "sim/projector.h"

#include "protocol/commandtable.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace qv7::sim {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kAcknowledge = "\x06\r";

bool isOperation(std::string_view code)
{
    return std::ranges::any_of(kOneShotCommands,
                               [&](const auto &command) { return command.code == code; }) ||
           std::ranges::any_of(kHoldCommands,
                               [&](const auto &command) { return command.code == code; });
}

} // namespace

SimulatedProjector::SimulatedProjector(Settings settings)
    : settings_(std::move(settings))
    , lampHours_(settings_.lampHours)
{
    const std::string &o = settings_.orientation;
    if (o.size() != 2 || (o[0] != '0' && o[0] != '1') || (o[1] != '0' && o[1] != '1'))
        throw std::invalid_argument("orientation must be 11, 10, 01 or 00");
    if (settings_.warmUp < 0ms || settings_.coolDown < 0ms)
        throw std::invalid_argument("warm-up and cool-down cannot be negative");
    if (settings_.lampSpeedUp < 1 || settings_.lampSpeedUp > kMaxLampSpeedUp)
        throw std::invalid_argument("lamp speed-up must be from 1 to 1000000");
    if (settings_.lampHours < 0 || settings_.lampHours > kMaxLampHours)
        throw std::invalid_argument("lamp hours must be from 0 to 9999");
}

std::string SimulatedProjector::receive(std::string_view bytes, TimePoint now)
{
    advance(now);
    std::string reply;
    for (const char c : bytes) {
        if (c == kCommandTerminator) {
            if (!discarding_ && line_.size() == kCodeLength)
                reply += answer(line_, now);
            line_.clear();
            discarding_ = false;
        } else if (discarding_ || line_.size() == kCodeLength) {
            line_.clear();
            discarding_ = true;
        } else {
            line_.push_back(c);
        }
    }
    return reply;
}

void SimulatedProjector::advance(TimePoint now)
{
    if (state_ == PowerState::CountDown && now >= deadline_) {
        state_ = PowerState::On;
        lampCountedTo_ = deadline_;
    }
    if (state_ == PowerState::Cooling && now >= deadline_)
        state_ = PowerState::Standby;
    if (state_ != PowerState::On || now <= lampCountedTo_)
        return;
    // Whole milliseconds only, and the counter moves by what it counted, so nothing drifts
    // however often the time is brought.
    const auto lit = std::chrono::duration_cast<std::chrono::milliseconds>(now - lampCountedTo_);
    lampCountedTo_ += lit;
    lampPartHour_ += lit * settings_.lampSpeedUp;
    const auto hours = lampPartHour_ / std::chrono::milliseconds(1h);
    lampPartHour_ %= std::chrono::milliseconds(1h);
    lampHours_ = static_cast<int>(std::min<decltype(hours)>(kMaxLampHours, lampHours_ + hours));
}

std::string SimulatedProjector::status() const
{
    static constexpr unsigned kStateBits[] = {0x80, 0x40, 0x00, 0x20}; // by PowerState
    unsigned bits = powerAbnormal_ ? 0x10 : kStateBits[static_cast<int>(state_)];
    if (temperatureAbnormal_)
        bits |= 0x08;
    char text[3];
    std::snprintf(text, sizeof text, "%02X", bits);
    return text;
}

void SimulatedProjector::setPowerAbnormality(bool abnormal, TimePoint now)
{
    advance(now);
    powerAbnormal_ = abnormal;
    if (abnormal)
        state_ = PowerState::Standby;
}

std::string SimulatedProjector::answer(std::string_view code, TimePoint now)
{
    const std::string end(1, kCommandTerminator);
    if (code == "CR0")
        return status() + end;
    if (code == "CR1")
        return std::to_string(static_cast<int>(input_)) + end;
    if (code == "CR3") {
        char hours[5];
        std::snprintf(hours, sizeof hours, "%04d", lampHours_);
        return hours + end;
    }
    if (code == "CR4")
        return settings_.orientation + end;
    if (!isOperation(code) || powerAbnormal_)
        return {};

    switch (state_) {
    case PowerState::Standby:
        if (code != "C00")
            return {};
        state_ = PowerState::CountDown;
        deadline_ = now + settings_.warmUp;
        advance(now); // a projector without a warm-up is on at once
        break;
    case PowerState::CountDown:
    case PowerState::Cooling:
        // Power on is acknowledged, but neither the warm-up nor the cool-down is cut short.
        if (code != "C00")
            return {};
        break;
    case PowerState::On:
        if (code == "C02") {
            state_ = PowerState::Cooling;
            deadline_ = now + settings_.coolDown;
            advance(now);
        } else if (code == "C05") {
            input_ = Input::Computer1;
        } else if (code == "C06") {
            input_ = Input::Computer2;
        } else if (code == "C07") {
            input_ = Input::Video;
        }
        break;
    }
    return std::string(kAcknowledge);
}

} // namespace qv7::sim
