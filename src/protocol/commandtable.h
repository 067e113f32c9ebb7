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

// The words that name a command in a script: "power on", "volume up", "status". One row, one
// verb and argument; a row without a name has no verb and is sent by its code.
struct Verb {
    std::string_view name;
    std::string_view argument = {};

    friend constexpr bool operator==(const Verb &, const Verb &) = default;
};

// A button that sends its code once per click; the row stands for the button's click handler
// (Command17 for Command17_Click). An arrow-mode button also sets the repeat period of the
// held arrows and their reply-window profile; a query's reply is decoded into the status line.
struct OneShotCommand {
    std::string_view control;
    std::string_view code;
    Verb verb = {};
    OneShotKind kind = OneShotKind::Plain;
    int repeatInterval = 0; // Timer1, ms; arrow-mode buttons only
    std::uint8_t arrowMode = 0;
    Subject subject = Subject::None; // what a query's reply reads
};

constexpr OneShotCommand query(std::string_view control, std::string_view code, Verb verb,
                               Subject subject)
{
    return {control, code, verb, OneShotKind::Query, 0, 0, subject};
}

inline constexpr std::array<OneShotCommand, 28> kOneShotCommands{{
    {"Command17", "C00", {"power", "on"}},                                    // POWER ON
    {"Command18", "C02", {"power", "off"}},                                   // POWER OFF
    {"Command27", "C05", {"input", "pc1"}},                                   // INPUT SELECT PC 1
    {"Command28", "C06", {"input", "pc2"}},                                   // INPUT SELECT PC 2
    {"Command29", "C07", {"input", "video"}},                                 // INPUT SELECT Video
    {"Command19", "C0B", {"audio-mute", "on"}},                               // AUDIO MUTE ON
    {"Command20", "C0C", {"audio-mute", "off"}},                              // AUDIO MUTE OFF
    {"Command21", "C0D", {"video-mute", "on"}},                               // VIDEO MUTE ON
    {"Command22", "C0E", {"video-mute", "off"}},                              // VIDEO MUTE OFF
    {"Command31", "C0F", {"screen", "normal"}},                               // VIDEO SCREEN Normal
    {"Command32", "C10", {"screen", "wide"}},                                 // VIDEO SCREEN Wide
    {"Command23", "C1C", {"menu", "on"}, OneShotKind::ArrowMode, 200, 1},     // MENU ON
    {"Command24", "C1D", {"menu", "off"}},                                    // MENU OFF
    {"Command25", "C43", {"freeze", "on"}},                                   // FREEZE ON
    {"Command26", "C44", {"freeze", "off"}},                                  // FREEZE OFF
    {"Command13", "C89", {"auto-image"}, OneShotKind::ArrowMode, 200, 1},     // A-IMAGE
    {"Command4", "C1F", {"normal"}},                                          // NORMAL
    {"Command43", "C4F", {"cursor-mode"}, OneShotKind::ArrowMode, 30, 2},     // CURSOL
    {"Command14", "C8A", {"p-timer"}},                                        // P-TIMER
    {"Command3", "C1E", {"display-clear"}},                                   // DISPLAY CLEAR
    {"Command10", "C80", {"zoom-mode"}, OneShotKind::ArrowMode, 50, 2},       // ZOOM
    {"Command11", "C87", {"focus-mode"}, OneShotKind::ArrowMode, 100, 2},     // FOCUS
    {"Command41", "C88", {"lens-shift-mode"}, OneShotKind::ArrowMode, 50, 2}, // Lens shift
    query("Command44", "CR0", {"status"}, Subject::Power),                    // STATUS
    query("Command45", "CR1", {"input"}, Subject::Input),                     // MODE
    query("Command46", "CR3", {"lamp-hours"}, Subject::LampTime),             // L-TIME
    query("Command47", "CR4", {"orientation"}, Subject::Orientation),         // SETTING
    {"Command52", "C01"}, // no verb: what it does is not known, scripts send its code
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
    Verb verb;                          // sent as often as a script asks, at the hold's own period
    std::optional<HoldTimings> timings; // nothing: an arrow, timed by the arrow mode
    bool digitalZoom = false;           // its release selects the digital-zoom arrow profile
};

inline constexpr HoldTimings kSlowHold{250, 200, 245};
inline constexpr HoldTimings kFastHold{50, 25, 25};

inline constexpr std::array<HoldCommand, 17> kHoldCommands{{
    {"Command1", 1, "C09", {"volume", "up"}, kSlowHold},                // VOL +
    {"Command2", 2, "C0A", {"volume", "down"}, kSlowHold},              // VOL -
    {"Command5", 3, "C3C", {"cursor", "up"}, std::nullopt},             // cursor up
    {"Command7", 4, "C3D", {"cursor", "down"}, std::nullopt},           // cursor down
    {"Command9", 5, "C3B", {"cursor", "left"}, std::nullopt},           // cursor left
    {"Command8", 6, "C3A", {"cursor", "right"}, std::nullopt},          // cursor right
    {"Command15", 7, "C47", {"zoom", "in"}, kFastHold},                 // Zoom +
    {"Command35", 8, "C46", {"zoom", "out"}, kFastHold},                // Zoom -
    {"Command36", 9, "C4B", {"focus", "up"}, kFastHold},                // Focus +
    {"Command37", 10, "C4A", {"focus", "down"}, kFastHold},             // Focus -
    {"Command6", 13, "C3F", {"select"}, HoldTimings{500, 200, 245}},    // SELECT
    {"Command48", 17, "C30", {"digital-zoom", "in"}, kSlowHold, true},  // D.Zoom +
    {"Command49", 18, "C31", {"digital-zoom", "out"}, kSlowHold, true}, // D.Zoom -
    {"Command50", 19, "C8E", {"keystone", "up"}, kSlowHold},            // Keystone +
    {"Command51", 20, "C8F", {"keystone", "down"}, kSlowHold},          // Keystone -
    {"Command59", 21, "C5D", {"lens-shift", "up"}, kFastHold},          // LENS SHIFT up
    {"Command62", 22, "C5E", {"lens-shift", "down"}, kFastHold},        // LENS SHIFT down
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

// The one-shot button that a verb names, for a program's own use: looked up when the program
// is built, so that a verb no row has is a build error.
consteval const OneShotCommand &button(Verb verb)
{
    for (const OneShotCommand &command : kOneShotCommands) {
        if (command.verb == verb)
            return command;
    }
    throw "no one-shot button has this verb";
}

// The hold button that a verb names, likewise.
consteval const HoldCommand &holdButton(Verb verb)
{
    for (const HoldCommand &command : kHoldCommands) {
        if (command.verb == verb)
            return command;
    }
    throw "no hold button has this verb";
}

inline constexpr const OneShotCommand &kPowerOn = button({"power", "on"});
inline constexpr const OneShotCommand &kPowerOff = button({"power", "off"});

// The button that selects each input.
struct InputButton {
    Input input;
    const OneShotCommand *button;
};
inline constexpr InputButton kInputButtons[] = {
    {Input::Pc1, &button({"input", "pc1"})},
    {Input::Pc2, &button({"input", "pc2"})},
    {Input::Video, &button({"input", "video"})},
};
constexpr const OneShotCommand &inputButton(Input input)
{
    for (const InputButton &row : kInputButtons) {
        if (row.input == input)
            return *row.button;
    }
    return *kInputButtons[0].button;
}

const OneShotCommand *findOneShot(std::string_view control);
// The one-shot row whose code this is ("C00"); nothing for a code no button sends once.
const OneShotCommand *findOneShotCode(std::string_view code);
const HoldCommand *findHold(std::string_view control);
const HoldCommand *findHeldButton(std::uint8_t heldButton);
const ArrowProfile *findArrowProfile(std::uint8_t arrowMode);
// The row a script's words name; nothing when no row of that kind has them.
const OneShotCommand *findOneShotVerb(const Verb &verb);
const HoldCommand *findHoldVerb(const Verb &verb);

// The reading of a reply received while currentCommand (code and carriage return) was the last
// command sent; nothing when it is no query or the reply matches no key.
std::optional<Reading> decodeReply(std::string_view currentCommand, std::string_view reply);
// What the replies to currentCommand (code and carriage return) read; None for no query.
Subject replySubject(std::string_view currentCommand);

// Whether a script's raw code is one the line carries: "C" and two upper-case hexadecimal
// digits for an operation, "CR" and a digit for a query.
bool isCommandCode(std::string_view code);

} // namespace qv7
