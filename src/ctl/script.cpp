#include "script.h"

#include "protocol/commandtable.h"

#include <algorithm>

namespace qv7::ctl {

namespace {

std::string text(const QString &word)
{
    return word.toStdString();
}

bool isVerb(std::string_view name)
{
    return std::ranges::any_of(kOneShotCommands,
                               [&](const auto &row) { return row.verb.name == name; }) ||
           std::ranges::any_of(kHoldCommands,
                               [&](const auto &row) { return row.verb.name == name; });
}

// "on or off", for a verb given an argument it does not take.
QString argumentsOf(std::string_view name)
{
    QStringList arguments;
    const auto collect = [&](const auto &table) {
        for (const auto &row : table) {
            if (row.verb.name == name && !row.verb.argument.empty())
                arguments.append(QString::fromLatin1(row.verb.argument));
        }
    };
    collect(kOneShotCommands);
    collect(kHoldCommands);
    const QString last = arguments.takeLast();
    return arguments.isEmpty()
               ? last
               : arguments.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

} // namespace

const OneShotCommand &statusQuery()
{
    return *findOneShotVerb({"status"});
}

std::vector<Step> parseScript(const QStringList &words)
{
    std::vector<Step> steps;
    for (qsizetype i = 0; i < words.size();) {
        const std::string name = text(words[i]);
        if (!isVerb(name)) {
            if (!isCommandCode(name))
                throw UsageError(QStringLiteral("\"%1\" is no command (qv7ctl --list shows them)")
                                     .arg(words[i]));
            steps.push_back({words[i], Raw{name}});
            ++i;
            continue;
        }
        // The verb's argument when the next word is one, else the verb alone.
        const std::string argument = i + 1 < words.size() ? text(words[i + 1]) : std::string();
        Verb verb{name, argument};
        if (!findOneShotVerb(verb) && !findHoldVerb(verb))
            verb.argument = {};
        const qsizetype used = verb.argument.empty() ? 1 : 2;
        QString said = words.mid(i, used).join(u' ');
        i += used;
        if (const OneShotCommand *row = findOneShotVerb(verb)) {
            steps.push_back({said, Click{row}});
            continue;
        }
        const HoldCommand *held = findHoldVerb(verb);
        if (!held)
            throw UsageError(QStringLiteral("%1 takes %2").arg(said, argumentsOf(name)));
        int count = 1;
        if (i < words.size() && !words[i].isEmpty() && words[i][0].isDigit()) {
            bool ok = false;
            count = words[i].toInt(&ok);
            if (!ok || count < 1 || count > kMaxCount)
                throw UsageError(QStringLiteral("%1 takes a count from 1 to %2, not %3")
                                     .arg(said)
                                     .arg(kMaxCount)
                                     .arg(words[i]));
            said += u' ' + words[i];
            ++i;
        }
        steps.push_back({said, Hold{held, count}});
    }
    return steps;
}

std::string_view stepCode(const Step &step)
{
    struct Code {
        std::string_view operator()(const Click &click) const { return click.row->code; }
        std::string_view operator()(const Hold &hold) const { return hold.row->code; }
        std::string_view operator()(const Raw &raw) const { return raw.code; }
        std::string_view operator()(const WaitFor &) const { return statusQuery().code; }
    };
    return std::visit(Code{}, step.action);
}

} // namespace qv7::ctl
