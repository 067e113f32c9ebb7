#pragma once

#include "decoding.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv7 {

// Every command goes out as its three-character code followed by one carriage return.
inline constexpr char kCommandTerminator = '\r';
inline std::string commandString(std::string_view code)
{
    return std::string(code) + kCommandTerminator;
}

enum class OneShotKind { Plain, Query, ArrowMode };

// A button that sends its code once per click; the row stands for the button's click handler
// (Command17 for Command17_Click). An arrow-mode button also sets the repeat period of the
// held arrows and their reply-window profile; a query's reply is decoded into the status line.
struct OneShotCommand {
    std::string_view control;
    std::string_view code;
    OneShotKind kind = OneShotKind::Plain;
    int repeatInterval = 0; // Timer1, ms; arrow-mode buttons only
    std::uint8_t arrowMode = 0;
    const StatusDecoding *decoding = nullptr; // queries only
};

constexpr OneShotCommand query(std::string_view control, std::string_view code,
                               const StatusDecoding &decoding)
{
    return {control, code, OneShotKind::Query, 0, 0, &decoding};
}

inline constexpr std::array<OneShotCommand, 28> kOneShotCommands{{
    {"Command17", "C00"},                                 // POWER ON
    {"Command18", "C02"},                                 // POWER OFF
    {"Command27", "C05"},                                 // INPUT SELECT PC 1
    {"Command28", "C06"},                                 // INPUT SELECT PC 2
    {"Command29", "C07"},                                 // INPUT SELECT Video
    {"Command19", "C0B"},                                 // AUDIO MUTE ON
    {"Command20", "C0C"},                                 // AUDIO MUTE OFF
    {"Command21", "C0D"},                                 // VIDEO MUTE ON
    {"Command22", "C0E"},                                 // VIDEO MUTE OFF
    {"Command31", "C0F"},                                 // VIDEO SCREEN Normal
    {"Command32", "C10"},                                 // VIDEO SCREEN Wide
    {"Command23", "C1C", OneShotKind::ArrowMode, 200, 1}, // MENU ON
    {"Command24", "C1D"},                                 // MENU OFF
    {"Command25", "C43"},                                 // FREEZE ON
    {"Command26", "C44"},                                 // FREEZE OFF
    {"Command13", "C89", OneShotKind::ArrowMode, 200, 1}, // A-IMAGE
    {"Command4", "C1F"},                                  // NORMAL
    {"Command43", "C4F", OneShotKind::ArrowMode, 30, 2},  // CURSOL
    {"Command14", "C8A"},                                 // P-TIMER
    {"Command3", "C1E"},                                  // DISPLAY CLEAR
    {"Command10", "C80", OneShotKind::ArrowMode, 50, 2},  // ZOOM
    {"Command11", "C87", OneShotKind::ArrowMode, 100, 2}, // FOCUS
    {"Command41", "C88", OneShotKind::ArrowMode, 50, 2},  // Lens shift
    query("Command44", "CR0", kPowerDecoding),            // STATUS: power state
    query("Command45", "CR1", kInputDecoding),            // MODE: selected input
    query("Command46", "CR3", kLampHoursDecoding),        // L-TIME: lamp hours
    query("Command47", "CR4", kOrientationDecoding),      // SETTING: picture orientation
    {"Command52", "C01"},
}};

// Lengths a hold button gives the repeat timer, the reply window and the display time-out.
struct HoldTimings {
    int repeat;         // Timer1, ms
    int replyWindow;    // Timer2, ms
    int displayTimeout; // Timer4, ms
};

// A button that sends its code at the press and repeats it until the release; the row stands
// for the button's press and release handlers (Command1_MouseDown and Command1_MouseUp).
struct HoldCommand {
    std::string_view control;
    std::uint8_t heldButton; // identity that the repeat timer looks up
    std::string_view code;
    std::optional<HoldTimings> timings; // nothing: an arrow, timed by the arrow mode
    bool digitalZoom = false;           // its release selects the digital-zoom arrow profile
};

inline constexpr HoldTimings kSlowHold{250, 200, 245};
inline constexpr HoldTimings kFastHold{50, 25, 25};

inline constexpr std::array<HoldCommand, 17> kHoldCommands{{
    {"Command1", 1, "C09", kSlowHold},                   // VOL +
    {"Command2", 2, "C0A", kSlowHold},                   // VOL -
    {"Command5", 3, "C3C", std::nullopt},                // cursor up
    {"Command7", 4, "C3D", std::nullopt},                // cursor down
    {"Command9", 5, "C3B", std::nullopt},                // cursor left
    {"Command8", 6, "C3A", std::nullopt},                // cursor right
    {"Command15", 7, "C47", kFastHold},                  // Zoom +
    {"Command35", 8, "C46", kFastHold},                  // Zoom -
    {"Command36", 9, "C4B", kFastHold},                  // Focus +
    {"Command37", 10, "C4A", kFastHold},                 // Focus -
    {"Command6", 13, "C3F", HoldTimings{500, 200, 245}}, // SELECT
    {"Command48", 17, "C30", kSlowHold, true},           // D.Zoom +
    {"Command49", 18, "C31", kSlowHold, true},           // D.Zoom -
    {"Command50", 19, "C8E", kSlowHold},                 // Keystone +
    {"Command51", 20, "C8F", kSlowHold},                 // Keystone -
    {"Command59", 21, "C5D", kFastHold},                 // LENS SHIFT up
    {"Command62", 22, "C5E", kFastHold},                 // LENS SHIFT down
}};

// Reply window and display time-out of the held arrows, by arrow mode.
struct ArrowProfile {
    std::uint8_t arrowMode;
    int replyWindow;
    int displayTimeout;
};

inline constexpr std::array<ArrowProfile, 3> kArrowProfiles{{
    {1, 150, 190}, // menu and auto image
    {2, 50, 75},   // zoom, focus, lens shift and cursor
    {3, 5, 5},     // digital zoom
}};

// The design lengths of the repeat timer, the reply window and the display time-out; a release
// restores the last two. Then the profile a digital-zoom release selects.
inline constexpr int kRepeatMs = 200;
inline constexpr int kReplyWindowMs = 500;
inline constexpr int kDisplayTimeoutMs = 1000;
inline constexpr int kDigitalZoomRepeatMs = 5;
inline constexpr std::uint8_t kDigitalZoomArrowMode = 3;

const OneShotCommand *findOneShot(std::string_view control);
const HoldCommand *findHold(std::string_view control);
const HoldCommand *findHeldButton(std::uint8_t heldButton);
const ArrowProfile *findArrowProfile(std::uint8_t arrowMode);

// The status line text for an RXD text received while currentCommand (code and carriage
// return) was the last command sent; nothing when it is no query or the text matches no key.
std::optional<std::string> decodeReply(std::string_view currentCommand, std::string_view rxdText);

} // namespace qv7
