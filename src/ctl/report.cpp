#include "report.h"

#include "exitcodes.h"
#include "protocol/commandtable.h"
#include "protocol/decoding.h"
#include "protocol/metrics.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace qv7::ctl {

namespace {

QString latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

QString verbWords(const Verb &verb)
{
    return verb.argument.empty() ? latin1(verb.name)
                                 : latin1(verb.name) + u' ' + latin1(verb.argument);
}

std::optional<QString> scriptLine(const Outcome &outcome)
{
    if (!outcome.reading)
        return std::nullopt;
    return QString::fromLatin1(scriptText(*outcome.reading));
}

QString jsonLine(const Outcome &outcome, const ScriptTarget &target, bool named)
{
    const auto orNull = [](const std::optional<QString> &text) {
        return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
    };
    QJsonObject object{
        {QStringLiteral("port"), target.port},
        {QStringLiteral("command"), outcome.words},
        {QStringLiteral("code"), outcome.code},
        {QStringLiteral("reply"), QString::fromLatin1(outcome.reply)},
        {QStringLiteral("rendering"), outcome.rendering},
        {QStringLiteral("status"), orNull(scriptLine(outcome))},
        {QStringLiteral("power"), orNull(powerWord(outcome))},
        {QStringLiteral("exit"), outcome.exitCode},
    };
    if (named)
        object.insert(QStringLiteral("projector"), target.name);
    if (!outcome.error.isEmpty())
        object.insert(QStringLiteral("error"), outcome.error);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

const Outcome *outcomeOf(const Reading &reading, std::string_view code)
{
    for (const Outcome &outcome : reading.outcomes) {
        if (outcome.code == latin1(code) && outcome.exitCode == 0)
            return &outcome;
    }
    return nullptr;
}

std::optional<int> lampHoursOf(const Outcome *outcome)
{
    const LampTime *lamp =
        outcome && outcome->reading ? std::get_if<LampTime>(&*outcome->reading) : nullptr;
    return lamp ? lamp->hours : std::nullopt;
}

} // namespace

QString resultLine(const Outcome &outcome, const ScriptTarget &target, Format format, bool named)
{
    if (format == Format::Json)
        return jsonLine(outcome, target, named);
    if (format == Format::Raw || (outcome.exitCode == EX_DATAERR && !outcome.reading))
        return outcome.rendering;
    return scriptLine(outcome).value_or(QString());
}

QString vocabulary()
{
    QStringList lines;
    const auto line = [&lines](const QString &words, std::string_view code, const QString &note) {
        lines.append(
            QStringLiteral("%1  %2  %3").arg(words, -26).arg(latin1(code), note).trimmed());
    };
    for (const OneShotCommand &row : kOneShotCommands) {
        if (!row.verb.name.empty())
            line(verbWords(row.verb), row.code,
                 row.kind == OneShotKind::Query ? QStringLiteral("query") : QString());
    }
    for (const HoldCommand &row : kHoldCommands) {
        line(verbWords(row.verb) + QStringLiteral(" [COUNT]"), row.code,
             row.timings ? QStringLiteral("held, sent every %1 ms").arg(row.timings->repeat)
                         : QStringLiteral("held, sent at the arrows' period"));
    }
    lines.append(QStringLiteral("%1  raw code: C and two hex digits, or CR and a digit")
                     .arg(QStringLiteral("CODE"), -26));
    return lines.join(u'\n') + u'\n';
}

QString metrics(const QList<Reading> &readings)
{
    const std::string_view powerCode = findOneShotVerb({"status"})->code;
    const std::string_view lampCode = findOneShotVerb({"lamp-hours"})->code;
    std::vector<ProjectorSample> samples;
    for (const Reading &reading : readings) {
        const Outcome *status = outcomeOf(reading, powerCode);
        const auto *power =
            status && status->reading ? std::get_if<PowerState>(&*status->reading) : nullptr;
        ProjectorSample &sample = samples.emplace_back();
        sample.projector = reading.projector.toStdString();
        sample.up = status != nullptr;
        if (power)
            sample.power = *power;
        sample.lampHours = lampHoursOf(outcomeOf(reading, lampCode));
    }
    return QString::fromStdString(metricsText(samples));
}

} // namespace qv7::ctl
