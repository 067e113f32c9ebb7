#pragma once

#include "commandtable.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv7 {

// A command a program asks for in the panel's words: a one-shot button's click, a hold button
// kept down for a number of sends at its own period, or a raw code that no verb names.
struct Command {
    std::string words; // as it reads in results: "power on", "volume up 3", "C01"
    std::string code;  // what goes out: "C00"
    const OneShotCommand *click = nullptr;
    const HoldCommand *hold = nullptr;
    int count = 1; // sends of a hold; 0: until it is let go
};

inline constexpr int kMaxHoldCount = 100;

// What a list of words asks for, in order, or what was wrong with them.
struct ParsedCommands {
    std::vector<Command> commands;
    std::string error; // empty when the words parsed
};

// Reads verbs of the command table with their arguments ("power on"), held verbs with an
// optional count ("volume up 5"), and raw codes ("C01", "CR3"). Verbs and arguments are matched
// in any case; raw codes as the line carries them.
ParsedCommands parseCommands(const std::vector<std::string> &words);
// The same for one line of words separated by blanks ("input pc1 volume up 2").
ParsedCommands parseCommands(std::string_view line);

// The command that a verb and its argument name, for a program's own use ("status").
Command commandNamed(std::string_view verb, std::string_view argument = {});
// A one-shot button's click as a command.
Command commandFor(const OneShotCommand &button);
// A hold button kept down for a number of sends (0: until it is let go) as a command.
Command commandFor(const HoldCommand &button, int count);

// What a command does to the projector's power, for every face to ask the same way.
enum class PowerChange { None, On, Off };
PowerChange powerChange(const Command &command);
// The input a command selects, if it selects one.
std::optional<Input> inputSelected(const Command &command);
// A query: its reply reads as a value.
bool isQuery(const Command &command);

// Whether the projector takes a code whatever its power state: its queries (CR and a digit)
// and power on. Everything else it takes only when it is on.
bool takenInAnyState(const Command &command);

// "a", "a or b", "a, b or c".
std::string oneOf(const std::vector<std::string_view> &words);

} // namespace qv7
