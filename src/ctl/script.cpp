#include "script.h"

namespace qv7::ctl {

const Command &statusQuery()
{
    static const Command query = commandFor(button({"status"}));
    return query;
}

std::vector<Step> parseScript(const QStringList &words)
{
    std::vector<std::string> texts;
    for (const QString &word : words)
        texts.push_back(word.toStdString());
    ParsedCommands parsed = parseCommands(texts);
    if (!parsed.error.empty())
        throw UsageError(QString::fromStdString(parsed.error));
    std::vector<Step> steps;
    for (Command &command : parsed.commands)
        steps.push_back({QString::fromStdString(command.words), std::move(command)});
    return steps;
}

QString stepCode(const Step &step)
{
    const auto *command = std::get_if<Command>(&step.action);
    return QString::fromStdString(command ? command->code : statusQuery().code);
}

} // namespace qv7::ctl
