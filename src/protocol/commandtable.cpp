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

} // namespace

const OneShotCommand *findOneShot(std::string_view control)
{
    return findRow(kOneShotCommands, control, &OneShotCommand::control);
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

std::optional<std::string> decodeReply(std::string_view currentCommand, std::string_view rxdText)
{
    if (currentCommand.empty() || currentCommand.back() != kCommandTerminator)
        return std::nullopt;
    currentCommand.remove_suffix(1);
    for (const OneShotCommand &command : kOneShotCommands) {
        if (command.decoding && command.code == currentCommand)
            return decodeStatus(*command.decoding, rxdText);
    }
    return std::nullopt;
}

} // namespace qv7
