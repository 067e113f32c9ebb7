#include "report.h"

#include "exitcodes.h"
#include "protocol/commandtable.h"
#include "protocol/decoding.h"

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

QString jsonLine(const Outcome &outcome, const Target &target, bool named)
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

// A label value in the exposition format: backslash, double quote and line feed escaped.
QString labelValue(QString value)
{
    return value.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'"', QStringLiteral("\\\""))
        .replace(u'\n', QStringLiteral("\\n"));
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

QString resultLine(const Outcome &outcome, const Target &target, Format format, bool named)
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
    QStringList states;
    for (const std::string_view word : powerWords())
        states.append(latin1(word));
    QStringList up{QStringLiteral("# HELP qv7_up Whether the projector answered its power "
                                  "state query (1) or not (0)."),
                   QStringLiteral("# TYPE qv7_up gauge")};
    QStringList power{QStringLiteral("# HELP qv7_power_state The projector's power state: 1 "
                                     "for the state it is in, 0 for the others."),
                      QStringLiteral("# TYPE qv7_power_state gauge")};
    // Prometheus wants base units: the projector counts whole hours, published as seconds.
    QStringList lamp{QStringLiteral("# HELP qv7_lamp_seconds Time on the projector's lamp "
                                    "counter, in seconds (it counts whole hours)."),
                     QStringLiteral("# TYPE qv7_lamp_seconds gauge")};
    for (const Reading &reading : readings) {
        const QString projector =
            QStringLiteral("projector=\"%1\"").arg(labelValue(reading.projector));
        const Outcome *status = outcomeOf(reading, powerCode);
        up.append(QStringLiteral("qv7_up{%1} %2").arg(projector).arg(status ? 1 : 0));
        if (const auto word = status ? powerWord(*status) : std::nullopt) {
            for (const QString &state : states)
                power.append(QStringLiteral("qv7_power_state{%1,state=\"%2\"} %3")
                                 .arg(projector, state)
                                 .arg(*word == state ? 1 : 0));
        }
        if (const auto hours = lampHoursOf(outcomeOf(reading, lampCode)))
            lamp.append(QStringLiteral("qv7_lamp_seconds{%1} %2")
                            .arg(projector)
                            .arg(qint64(*hours) * 3600));
    }
    return (up + power + lamp).join(u'\n') + u'\n';
}

} // namespace qv7::ctl
