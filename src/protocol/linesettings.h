#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qv7 {

enum class Parity { None, Even, Odd, Mark, Space };
enum class StopBits { One, OneAndHalf, Two };

// A line setting in the serial control's own notation, "19200,N,8,1".
struct LineSettings {
    int baudRate = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    friend bool operator==(const LineSettings &, const LineSettings &) = default;
};

// The projector's two speeds, always no parity, 8 data bits, 1 stop bit; the first is the one
// the line starts with.
inline constexpr std::string_view kFastLineSettings = "19200,N,8,1";
inline constexpr std::string_view kSlowLineSettings = "9600,N,8,1";

// The projector's line settings for a speed named by its baud rate ("19200" or "9600").
std::optional<std::string_view> projectorLineSettings(std::string_view baudRate);

// "19200,N,8,1" for a setting.
std::string formatLineSettings(const LineSettings &settings);

// Parses "baud,parity,data,stop"; nothing for a string the line cannot take.
std::optional<LineSettings> parseLineSettings(std::string_view text);

} // namespace qv7
