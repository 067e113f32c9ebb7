#include "commandline.h"

#include "exitcodes.h"
#include "inventory/inventory.h"
#include "protocol/linesettings.h"
#include "protocol/networkport.h"
#include "protocol/portnames.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace qv7::ctl {

namespace {

constexpr int kDefaultJobs = 8;
constexpr int kMaxJobs = 64;
constexpr int kDefaultWaitSeconds = 120;
constexpr double kMaxWaitSeconds = 24 * 3600;
const QString kMetrics = QStringLiteral("metrics");

QString exitCodeHelp()
{
    QString text = QStringLiteral("\nExit status:\n");
    for (const ExitCode &exit : kExitCodes)
        text += QStringLiteral("  %1  %2\n")
                    .arg(exit.code, 2)
                    .arg(QString::fromLatin1(exit.meaning.data(), qsizetype(exit.meaning.size())));
    return text;
}

LineSettings settingsFor(const QString &speed)
{
    const auto settings = projectorLineSettings(speed.toStdString());
    if (!settings)
        throw UsageError(QStringLiteral("--speed is 19200 or 9600, not %1").arg(speed));
    return *parseLineSettings(*settings);
}

ScriptTarget targetOf(const InventoryEntry &entry)
{
    return {entry.name, entry.port, {entry.port, entry.name, entry.settings}};
}

ScriptTarget targetOf(const QString &port)
{
    return {port, port, {port, port}};
}

// A name without a slash that the inventory does not hold is a mistyped projector, not a
// device in the working folder.
void checkNamed(const QString &name, const Inventory &inventory, const QString &file)
{
    if (name.contains(u'/') || isNetworkPortName(name.toStdString()))
        return;
    QStringList names;
    for (const InventoryEntry &entry : inventory.projectors())
        names << entry.name;
    throw UsageError(QStringLiteral("%1 has no projector %2 (it has %3)")
                         .arg(file, name, names.join(QStringLiteral(", "))));
}

// The projectors the options name: one port, or projectors of the inventory.
QList<ScriptTarget> selectTargets(const QCommandLineParser &parser, bool metrics, bool &named)
{
    const bool all = parser.isSet(QStringLiteral("all"));
    const bool group = parser.isSet(QStringLiteral("group"));
    const bool port = parser.isSet(QStringLiteral("port"));
    if (int(all) + int(group) + int(port) > 1)
        throw UsageError(QStringLiteral("--port, --all and --group choose projectors one way "
                                        "at a time"));
    std::optional<Inventory> inventory;
    if (parser.isSet(QStringLiteral("inventory"))) {
        try {
            inventory = Inventory::load(parser.value(QStringLiteral("inventory")));
        } catch (const InventoryError &error) {
            throw UsageError(error.description());
        }
    } else if (all || group) {
        throw UsageError(QStringLiteral("--all and --group need an --inventory"));
    }
    QList<ScriptTarget> targets;
    named = false;
    if (port) {
        const QString name = parser.value(QStringLiteral("port"));
        const InventoryEntry *entry = inventory ? inventory->find(name) : nullptr;
        if (inventory && !entry)
            checkNamed(name, *inventory, parser.value(QStringLiteral("inventory")));
        targets.append(entry ? targetOf(*entry) : targetOf(name));
    } else if (inventory && (all || group || metrics)) {
        const QList<InventoryEntry> entries =
            group ? inventory->group(parser.value(QStringLiteral("group")))
                  : inventory->projectors();
        if (entries.isEmpty())
            throw UsageError(QStringLiteral("no projector of %1 is in group %2")
                                 .arg(parser.value(QStringLiteral("inventory")),
                                      parser.value(QStringLiteral("group"))));
        for (const InventoryEntry &entry : entries)
            targets.append(targetOf(entry));
        named = true;
    } else if (inventory) {
        throw UsageError(
            QStringLiteral("--inventory goes with --port NAME, --all or --group NAME"));
    } else {
        targets.append(targetOf(QString::fromStdString(defaultPortDevice(1))));
    }
    if (parser.isSet(QStringLiteral("speed"))) {
        const LineSettings settings = settingsFor(parser.value(QStringLiteral("speed")));
        for (ScriptTarget &target : targets)
            target.line.settings = settings;
    }
    const int connectTimeout = cli::connectTimeout(parser);
    for (ScriptTarget &target : targets)
        target.line.connectTimeoutMs = connectTimeout;
    return targets;
}

std::chrono::milliseconds waitTimeout(const QCommandLineParser &parser)
{
    if (!parser.isSet(QStringLiteral("timeout")))
        return std::chrono::seconds(kDefaultWaitSeconds);
    bool ok = false;
    const double seconds = parser.value(QStringLiteral("timeout")).toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > kMaxWaitSeconds)
        throw UsageError(QStringLiteral("--timeout takes seconds from more than 0 to %1, not %2")
                             .arg(kMaxWaitSeconds)
                             .arg(parser.value(QStringLiteral("timeout"))));
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

} // namespace

Request parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Drives a QV7 projector over its RS-232C line from scripts: sends the panel's commands "
        "in order on one open port and prints what the projector answered. Several commands "
        "may follow each other; \"metrics\" prints the power state and lamp hours of an "
        "inventory's projectors for monitoring."));
    parser.addOptions({
        {{QStringLiteral("p"), QStringLiteral("port")},
         QStringLiteral("The projector's port: a device, a network address the line takes, or "
                        "a name from the inventory. Default: the first serial port."),
         QStringLiteral("port")},
        {QStringLiteral("speed"), QStringLiteral("Line speed: 19200 (default) or 9600."),
         QStringLiteral("baud")},
        cli::connectTimeoutOption(),
        {{QStringLiteral("i"), QStringLiteral("inventory")},
         QStringLiteral("INI file with a [NAME] section per projector: port, speed, group."),
         QStringLiteral("file")},
        {QStringLiteral("all"), QStringLiteral("Run on every projector of the inventory.")},
        {QStringLiteral("group"), QStringLiteral("Run on the projectors of this group."),
         QStringLiteral("name")},
        {QStringLiteral("jobs"),
         QStringLiteral("Projectors driven at once with --all or --group (default %1).")
             .arg(kDefaultJobs),
         QStringLiteral("count")},
        {QStringLiteral("raw"), QStringLiteral("Print the RXD rendering of every reply.")},
        {QStringLiteral("json"), QStringLiteral("Print one JSON object per command.")},
        {QStringLiteral("wait"),
         QStringLiteral("After the commands, ask for the power state once a second until it is "
                        "on or standby."),
         QStringLiteral("state")},
        {QStringLiteral("timeout"),
         QStringLiteral("Seconds that --wait goes on for (default %1).").arg(kDefaultWaitSeconds),
         QStringLiteral("seconds")},
        {QStringLiteral("list"), QStringLiteral("Print the commands with their codes.")},
    });
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("A command of --list with its argument and count, "
                                                "a raw code, or metrics."),
                                 QStringLiteral("COMMAND [ARG]..."));
    if (!parser.parse(arguments))
        throw UsageError(parser.errorText());

    Request request;
    if (parser.isSet(help)) {
        request.print = parser.helpText() + exitCodeHelp();
        return request;
    }
    if (parser.isSet(version)) {
        request.print = QCoreApplication::applicationName() + u' ' +
                        QCoreApplication::applicationVersion() + u'\n';
        return request;
    }
    if (parser.isSet(QStringLiteral("list"))) {
        request.print = vocabulary();
        return request;
    }

    const QStringList words = parser.positionalArguments();
    const bool metrics = words == QStringList{kMetrics};
    if (!metrics && words.contains(kMetrics))
        throw UsageError(QStringLiteral("metrics goes alone"));
    Fleet::Options &options = request.options;
    options.metrics = metrics;
    if (parser.isSet(QStringLiteral("raw")) && parser.isSet(QStringLiteral("json")))
        throw UsageError(QStringLiteral("--raw or --json, not both"));
    options.format = parser.isSet(QStringLiteral("json"))  ? Format::Json
                     : parser.isSet(QStringLiteral("raw")) ? Format::Raw
                                                           : Format::Text;
    if (metrics && options.format != Format::Text)
        throw UsageError(QStringLiteral("metrics prints the Prometheus text format only"));
    if (parser.isSet(QStringLiteral("jobs"))) {
        bool ok = false;
        options.jobs = parser.value(QStringLiteral("jobs")).toInt(&ok);
        if (!ok || options.jobs < 1 || options.jobs > kMaxJobs)
            throw UsageError(QStringLiteral("--jobs takes a number from 1 to %1").arg(kMaxJobs));
    } else {
        options.jobs = kDefaultJobs;
    }

    request.steps = metrics ? parseScript({QStringLiteral("status"), QStringLiteral("lamp-hours")})
                            : parseScript(words);
    if (parser.isSet(QStringLiteral("wait"))) {
        const QString word = parser.value(QStringLiteral("wait"));
        const auto known = std::ranges::find(kWaitWords, word.toStdString());
        if (known == std::end(kWaitWords) || metrics)
            throw UsageError(metrics ? QStringLiteral("metrics does not wait")
                                     : QStringLiteral("--wait is on or standby, not %1").arg(word));
        request.steps.push_back(
            {QStringLiteral("wait ") + word, WaitFor{*known, waitTimeout(parser)}});
    } else if (parser.isSet(QStringLiteral("timeout"))) {
        throw UsageError(QStringLiteral("--timeout goes with --wait"));
    }
    if (request.steps.empty())
        throw UsageError(QStringLiteral("no command given (qv7ctl --list shows them)"));
    request.targets = selectTargets(parser, metrics, options.named);
    return request;
}

} // namespace qv7::ctl
