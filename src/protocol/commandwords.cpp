#include "commandwords.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace qv7 {

namespace {

std::string lower(std::string_view word)
{
    std::string text(word);
    std::ranges::transform(text, text.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool isVerb(std::string_view name)
{
    return std::ranges::any_of(kOneShotCommands,
                               [&](const auto &r) { return r.verb.name == name; }) ||
           std::ranges::any_of(kHoldCommands, [&](const auto &r) { return r.verb.name == name; });
}

// The arguments a verb takes: "on or off".
std::string argumentsOf(std::string_view name)
{
    std::vector<std::string_view> arguments;
    const auto collect = [&](const auto &table) {
        for (const auto &row : table) {
            if (row.verb.name == name && !row.verb.argument.empty())
                arguments.push_back(row.verb.argument);
        }
    };
    collect(kOneShotCommands);
    collect(kHoldCommands);
    return oneOf(arguments);
}

std::string spoken(const Verb &verb)
{
    return verb.argument.empty() ? std::string(verb.name)
                                 : std::string(verb.name) + ' ' + std::string(verb.argument);
}

bool startsWithDigit(std::string_view word)
{
    return !word.empty() && std::isdigit(static_cast<unsigned char>(word.front()));
}

} // namespace

std::string oneOf(const std::vector<std::string_view> &words)
{
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0)
            text += i + 1 == words.size() ? " or " : ", ";
        text += words[i];
    }
    return text;
}

Command commandFor(const OneShotCommand &button)
{
    return {spoken(button.verb), std::string(button.code), &button, nullptr, 1};
}

Command commandFor(const HoldCommand &button, int count)
{
    return {spoken(button.verb), std::string(button.code), nullptr, &button, count};
}

PowerChange powerChange(const Command &command)
{
    return command.click == &kPowerOn    ? PowerChange::On
           : command.click == &kPowerOff ? PowerChange::Off
                                         : PowerChange::None;
}

std::optional<Input> inputSelected(const Command &command)
{
    const auto input = std::ranges::find(kInputButtons, command.click, &InputButton::button);
    return input == std::end(kInputButtons) ? std::nullopt : std::optional(input->input);
}

bool isQuery(const Command &command)
{
    return command.click && command.click->kind == OneShotKind::Query;
}

Command commandNamed(std::string_view verb, std::string_view argument)
{
    if (const OneShotCommand *row = findOneShotVerb({verb, argument}))
        return commandFor(*row);
    return commandFor(*findHoldVerb({verb, argument}), 1);
}

ParsedCommands parseCommands(const std::vector<std::string> &words)
{
    ParsedCommands parsed;
    const auto fail = [&parsed](std::string error) {
        parsed.commands.clear();
        parsed.error = std::move(error);
        return parsed;
    };
    for (std::size_t i = 0; i < words.size();) {
        const std::string name = lower(words[i]);
        if (!isVerb(name)) {
            if (!isCommandCode(words[i]))
                return fail('"' + words[i] + "\" is no command (qv7ctl --list shows them)");
            // A code that a button sends once is that button's command, sent as its click.
            parsed.commands.push_back({words[i], words[i], findOneShotCode(words[i])});
            ++i;
            continue;
        }
        // The verb's argument when the next word is one, else the verb alone.
        const std::string argument = i + 1 < words.size() ? lower(words[i + 1]) : std::string();
        Verb verb{name, argument};
        if (!findOneShotVerb(verb) && !findHoldVerb(verb))
            verb.argument = {};
        i += verb.argument.empty() ? 1 : 2;
        if (findOneShotVerb(verb)) {
            parsed.commands.push_back(commandNamed(verb.name, verb.argument));
            continue;
        }
        if (!findHoldVerb(verb))
            return fail(spoken(verb) + " takes " + argumentsOf(name));
        Command command = commandNamed(verb.name, verb.argument);
        if (i < words.size() && startsWithDigit(words[i])) {
            const std::string &count = words[i];
            const auto [end, error] =
                std::from_chars(count.data(), count.data() + count.size(), command.count);
            if (error != std::errc() || end != count.data() + count.size() || command.count < 1 ||
                command.count > kMaxHoldCount)
                return fail(command.words + " takes a count from 1 to " +
                            std::to_string(kMaxHoldCount) + ", not " + count);
            command.words += ' ' + count;
            ++i;
        }
        parsed.commands.push_back(std::move(command));
    }
    return parsed;
}

ParsedCommands parseCommands(std::string_view line)
{
    std::vector<std::string> words;
    while (!line.empty()) {
        const std::size_t blank = std::min(line.find(' '), line.size());
        if (blank > 0)
            words.emplace_back(line.substr(0, blank));
        line.remove_prefix(std::min(blank + 1, line.size()));
    }
    return parseCommands(words);
}

bool takenInAnyState(const Command &command)
{
    if (command.click)
        return isQuery(command) || command.click == &kPowerOn;
    // A raw code that no button sends: the projector's rule is about codes.
    return command.code.starts_with("CR");
}

} // namespace qv7
