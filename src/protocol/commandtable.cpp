#include "commandtable.h"

#include <algorithm>

namespace qv7 {

namespace {

template <typename Table, typename Key, typename Projection>
auto findRow(const Table &table, const Key &key, Projection projection) -> decltype(&table[0])
{
    const auto it = std::ranges::find(table, key, projection);
    return it == table.end() ? nullptr : &*it;
}

// A script's words name one row: no verb and argument appear twice in either table, nor in
// both; every hold row has a verb.
constexpr bool verbsAreUnique()
{
    const auto rowsNamed = [](const Verb &verb) {
        return std::ranges::count(kOneShotCommands, verb, &OneShotCommand::verb) +
               std::ranges::count(kHoldCommands, verb, &HoldCommand::verb);
    };
    return std::ranges::all_of(kOneShotCommands,
                               [&](const auto &row) {
                                   return row.verb.name.empty() || rowsNamed(row.verb) == 1;
                               }) &&
           std::ranges::all_of(kHoldCommands, [&](const auto &row) {
               return !row.verb.name.empty() && rowsNamed(row.verb) == 1;
           });
}
static_assert(verbsAreUnique());

} // namespace

const OneShotCommand *findOneShot(std::string_view control)
{
    return findRow(kOneShotCommands, control, &OneShotCommand::control);
}

const OneShotCommand *findOneShotCode(std::string_view code)
{
    return findRow(kOneShotCommands, code, &OneShotCommand::code);
}

const HoldCommand *findHold(std::string_view control)
{
    return findRow(kHoldCommands, control, &HoldCommand::control);
}

const HoldCommand *findHeldButton(std::uint8_t heldButton)
{
    return findRow(kHoldCommands, heldButton, &HoldCommand::heldButton);
}

const ArrowProfile *findArrowProfile(std::uint8_t arrowMode)
{
    return findRow(kArrowProfiles, arrowMode, &ArrowProfile::arrowMode);
}

const OneShotCommand *findOneShotVerb(const Verb &verb)
{
    return verb.name.empty() ? nullptr : findRow(kOneShotCommands, verb, &OneShotCommand::verb);
}

const HoldCommand *findHoldVerb(const Verb &verb)
{
    return findRow(kHoldCommands, verb, &HoldCommand::verb);
}

Subject replySubject(std::string_view currentCommand)
{
    if (currentCommand.empty() || currentCommand.back() != kCommandTerminator)
        return Subject::None;
    currentCommand.remove_suffix(1);
    const auto row = findRow(kOneShotCommands, currentCommand, &OneShotCommand::code);
    return row ? row->subject : Subject::None;
}

std::optional<Reading> decodeReply(std::string_view currentCommand, std::string_view reply)
{
    return decodeReading(replySubject(currentCommand), reply);
}

bool isCommandCode(std::string_view code)
{
    const auto hexDigit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    if (code.size() != 3 || code[0] != 'C')
        return false;
    if (code[1] == 'R')
        return code[2] >= '0' && code[2] <= '9';
    return hexDigit(code[1]) && hexDigit(code[2]);
}

} // namespace qv7
