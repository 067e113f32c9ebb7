#pragma once

#include "commandtable.h"
#include "decoding.h"

#include <array>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

// PJLink Classes 1 and 2, the network projector protocol of AV control systems: the requests a
// client sends ("%1POWR 1" CR, "%2FREZ ?" CR), what each does with this projector, and the
// answers ("%1POWR=OK" CR).
namespace qv7::pjlink {

inline constexpr char kTerminator = '\r';
inline constexpr std::size_t kBodyLength = 4;
inline constexpr std::size_t kLongestParameter = 128;
// "%1", the body, a blank, the parameter and the carriage return.
inline constexpr std::size_t kLongestRequest = 2 + kBodyLength + 1 + kLongestParameter + 1;
// The MD5 digest, in hexadecimal, that goes before the first request when a password is set.
inline constexpr std::size_t kDigestLength = 32;
inline constexpr std::size_t kRandomLength = 8;
// The longest a client may stay silent before the connection is closed.
inline constexpr int kIdleSeconds = 30;
// What the informational answers may hold.
inline constexpr std::size_t kLongestName = 64;
inline constexpr std::size_t kLongestInformation = 32;

inline constexpr std::string_view kAuthenticationError = "PJLINK ERRA\r";
// What CLSS answers: every request of Class 2 is answered.
inline constexpr std::string_view kClass = "2";

enum class Error { Undefined, OutOfParameter, UnavailableTime, ProjectorFailure };

// What a request asks of the projector.
enum class Ask {
    Send,         // the row's commands, in qv7ctl's words; answered OK
    SelectInput,  // the input of the parameter's code
    Power,        // the power state
    Input,        // the input selected
    Mutes,        // the mutes as last set
    Errors,       // the error status
    Lamp,         // the lamp hours and whether it is lit
    Inputs,       // the inputs there are
    Name,         // the inventory's name for the projector
    Manufacturer, // INF1
    Model,        // INF2
    Information,  // INFO
    Class,        // the PJLink class
    Freeze,       // the freeze as last set
    InputName,    // the name of the parameter's input ("?11")
    Serial,       // the inventory's serial number
    Software,     // the program's version
    LampModel,    // the inventory's replacement lamp
    FilterModel,  // the inventory's replacement filter
    Lacking,      // a function this projector does not have, whatever the parameter
};

// One request: its body, its parameter ("?" for a query; empty: the ask's own table decides),
// what it does, the buttons it presses on the projector (the query it answers from) or the
// hold button it presses for one send, and the lowest class that has it.
struct Row {
    std::string_view body;
    std::string_view parameter;
    Ask ask;
    std::array<const OneShotCommand *, 2> buttons = {};
    const HoldCommand *hold = nullptr;
    char since = '1';
};

// A request that Class 2 brought; a Class 1 request is answered in either class.
constexpr Row class2(Row row)
{
    row.since = '2';
    return row;
}

inline constexpr Row kRows[] = {
    {"POWR", "1", Ask::Send, {&kPowerOn}},
    {"POWR", "0", Ask::Send, {&kPowerOff}},
    {"POWR", "?", Ask::Power, {&button({"status"})}},
    {"INPT", "", Ask::SelectInput},
    {"INPT", "?", Ask::Input, {&button({"input"})}},
    {"AVMT", "10", Ask::Send, {&button({"video-mute", "off"})}},
    {"AVMT", "11", Ask::Send, {&button({"video-mute", "on"})}},
    {"AVMT", "20", Ask::Send, {&button({"audio-mute", "off"})}},
    {"AVMT", "21", Ask::Send, {&button({"audio-mute", "on"})}},
    {"AVMT", "30", Ask::Send, {&button({"video-mute", "off"}), &button({"audio-mute", "off"})}},
    {"AVMT", "31", Ask::Send, {&button({"video-mute", "on"}), &button({"audio-mute", "on"})}},
    {"AVMT", "?", Ask::Mutes},
    {"ERST", "?", Ask::Errors, {&button({"status"})}},
    {"LAMP", "?", Ask::Lamp, {&button({"lamp-hours"})}},
    {"INST", "?", Ask::Inputs},
    {"NAME", "?", Ask::Name},
    {"INF1", "?", Ask::Manufacturer},
    {"INF2", "?", Ask::Model},
    {"INFO", "?", Ask::Information},
    {"CLSS", "?", Ask::Class},
    class2({"FREZ", "1", Ask::Send, {&button({"freeze", "on"})}}),
    class2({"FREZ", "0", Ask::Send, {&button({"freeze", "off"})}}),
    class2({"FREZ", "?", Ask::Freeze}),
    class2({"SVOL", "1", Ask::Send, {}, &holdButton({"volume", "up"})}),
    class2({"SVOL", "0", Ask::Send, {}, &holdButton({"volume", "down"})}),
    class2({"INNM", "", Ask::InputName}),
    class2({"SNUM", "?", Ask::Serial}),
    class2({"SVER", "?", Ask::Software}),
    class2({"RLMP", "?", Ask::LampModel}),
    class2({"RFIL", "?", Ask::FilterModel}),
    // No microphone, and nothing on the line tells the filter's hours or the resolutions.
    class2({"MVOL", "", Ask::Lacking}),
    class2({"FILT", "", Ask::Lacking}),
    class2({"IRES", "", Ask::Lacking}),
    class2({"RRES", "", Ask::Lacking}),
};

// The projector's inputs as PJLink numbers them: type (1 RGB, 2 video) and number.
struct InputCode {
    Input input;
    std::string_view code;
};
inline constexpr InputCode kInputCodes[] = {
    {Input::Pc1, "11"},
    {Input::Pc2, "12"},
    {Input::Video, "21"},
};

struct Request {
    char version = '1';
    std::string body; // in capitals
    std::string parameter;
};

// A request line without its carriage return: what it asks, or nothing when it is no PJLink
// request at all (no "%", a class that is no digit, a body that is not four letters or digits).
std::optional<Request> parseRequest(std::string_view line);

// Whether some class has this body (in capitals): whether a request is unknown to PJLink or
// only to its class.
bool isKnownBody(std::string_view body);
// The row a request names, or the error it is answered with.
std::variant<const Row *, Error> lookup(const Request &request);
// The input that an input-name query's parameter ("?11") names.
std::optional<Input> inputOfNameQuery(std::string_view parameter);

// "%1BODY=value" CR.
std::string answer(const Request &request, std::string_view value);
std::string_view errorText(Error error); // "ERR1"..."ERR4"

// The greeting: "PJLINK 0" CR, or "PJLINK 1 random" CR when a password is set.
std::string greeting(std::string_view random = {});

// The answer to a query (Power, Errors, Input, Lamp) from the reading of its row's query and
// the power state known; nothing when the reading does not give one (the projector failed).
std::optional<std::string> queryAnswer(Ask ask, const Reading &reading,
                                       std::optional<PowerState> power);

// The parameters of the answers. Power: 0 standby, 1 on, 2 cooling, 3 warm-up; an abnormal
// state has none (the projector has failed).
std::optional<char> powerDigit(PowerState state);
// Six digits: fan, lamp, temperature, cover, filter, other; 0 where nothing is known wrong.
std::string errorStatus(PowerState state);
std::string inputCode(Input input);
std::optional<Input> inputOfCode(std::string_view code);
std::string inputList();
std::string mutes(bool video, bool audio);
std::string lamp(int hours, bool lit);
// Whether a text may be an informational answer: printable ASCII, at most the length.
bool isAnswerText(std::string_view text, std::size_t longest);

} // namespace qv7::pjlink
