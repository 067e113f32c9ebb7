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

// The inventory that --inventory names, if any; --all and --group need one.
std::optional<Inventory> inventoryOf(const QCommandLineParser &parser, bool needed)
{
    if (!parser.isSet(QStringLiteral("inventory"))) {
        if (needed)
            throw UsageError(QStringLiteral("--all and --group need an --inventory"));
        return std::nullopt;
    }
    try {
        return Inventory::load(parser.value(QStringLiteral("inventory")));
    } catch (const InventoryError &error) {
        throw UsageError(error.description());
    }
}

// --port NAME: the inventory's projector of that name, or a port of its own.
ScriptTarget portTarget(const QCommandLineParser &parser, const std::optional<Inventory> &inventory)
{
    const QString name = parser.value(QStringLiteral("port"));
    const InventoryEntry *entry = inventory ? inventory->find(name) : nullptr;
    if (inventory && !entry)
        checkNamed(name, *inventory, parser.value(QStringLiteral("inventory")));
    return entry ? targetOf(*entry) : targetOf(name);
}

// The projectors of the inventory's group that --group names, or all of them.
QList<ScriptTarget> inventoryTargets(const QCommandLineParser &parser, const Inventory &inventory,
                                     bool group)
{
    const QList<InventoryEntry> entries =
        group ? inventory.group(parser.value(QStringLiteral("group"))) : inventory.projectors();
    if (entries.isEmpty())
        throw UsageError(QStringLiteral("no projector of %1 is in group %2")
                             .arg(parser.value(QStringLiteral("inventory")),
                                  parser.value(QStringLiteral("group"))));
    QList<ScriptTarget> targets;
    for (const InventoryEntry &entry : entries)
        targets.append(targetOf(entry));
    return targets;
}

// --speed and --connect-timeout, for every projector chosen.
void applyLineOptions(const QCommandLineParser &parser, QList<ScriptTarget> &targets)
{
    if (parser.isSet(QStringLiteral("speed"))) {
        const LineSettings settings = settingsFor(parser.value(QStringLiteral("speed")));
        for (ScriptTarget &target : targets)
            target.line.settings = settings;
    }
    const int connectTimeout = cli::connectTimeout(parser);
    for (ScriptTarget &target : targets)
        target.line.connectTimeoutMs = connectTimeout;
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
    const std::optional<Inventory> inventory = inventoryOf(parser, all || group);
    QList<ScriptTarget> targets;
    named = false;
    if (port) {
        targets.append(portTarget(parser, inventory));
    } else if (inventory && (all || group || metrics)) {
        targets = inventoryTargets(parser, *inventory, group);
        named = true;
    } else if (inventory) {
        throw UsageError(
            QStringLiteral("--inventory goes with --port NAME, --all or --group NAME"));
    } else {
        targets.append(targetOf(QString::fromStdString(defaultPortDevice(1))));
    }
    applyLineOptions(parser, targets);
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

// The options, in the order --help lists them.
QList<QCommandLineOption> optionTable()
{
    return {
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
    };
}

void setUp(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Drives a QV7 projector over its RS-232C line from scripts: sends the panel's commands "
        "in order on one open port and prints what the projector answered. Several commands "
        "may follow each other; \"metrics\" prints the power state and lamp hours of an "
        "inventory's projectors for monitoring."));
    parser.addOptions(optionTable());
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("A command of --list with its argument and count, "
                                                "a raw code, or metrics."),
                                 QStringLiteral("COMMAND [ARG]..."));
}

// What --help, --version and --list print instead of running anything.
std::optional<QString> textToPrint(const QCommandLineParser &parser)
{
    if (parser.isSet(QStringLiteral("help")))
        return parser.helpText() + exitCodeHelp();
    if (parser.isSet(QStringLiteral("version")))
        return QCoreApplication::applicationName() + u' ' + QCoreApplication::applicationVersion() +
               u'\n';
    if (parser.isSet(QStringLiteral("list")))
        return vocabulary();
    return std::nullopt;
}

int jobs(const QCommandLineParser &parser)
{
    if (!parser.isSet(QStringLiteral("jobs")))
        return kDefaultJobs;
    bool ok = false;
    const int jobs = parser.value(QStringLiteral("jobs")).toInt(&ok);
    if (!ok || jobs < 1 || jobs > kMaxJobs)
        throw UsageError(QStringLiteral("--jobs takes a number from 1 to %1").arg(kMaxJobs));
    return jobs;
}

// How the results are printed, and how many projectors are driven at once.
Fleet::Options fleetOptions(const QCommandLineParser &parser, bool metrics)
{
    Fleet::Options options;
    options.metrics = metrics;
    if (parser.isSet(QStringLiteral("raw")) && parser.isSet(QStringLiteral("json")))
        throw UsageError(QStringLiteral("--raw or --json, not both"));
    options.format = parser.isSet(QStringLiteral("json"))  ? Format::Json
                     : parser.isSet(QStringLiteral("raw")) ? Format::Raw
                                                           : Format::Text;
    if (metrics && options.format != Format::Text)
        throw UsageError(QStringLiteral("metrics prints the Prometheus text format only"));
    options.jobs = jobs(parser);
    return options;
}

// The script's commands, then the wait for a power state that --wait asks for.
std::vector<Step> scriptSteps(const QCommandLineParser &parser, const QStringList &words,
                              bool metrics)
{
    std::vector<Step> steps =
        metrics ? parseScript({QStringLiteral("status"), QStringLiteral("lamp-hours")})
                : parseScript(words);
    if (parser.isSet(QStringLiteral("wait"))) {
        const QString word = parser.value(QStringLiteral("wait"));
        const auto known = std::ranges::find(kWaitWords, word.toStdString());
        if (known == std::end(kWaitWords) || metrics)
            throw UsageError(metrics ? QStringLiteral("metrics does not wait")
                                     : QStringLiteral("--wait is on or standby, not %1").arg(word));
        steps.push_back({QStringLiteral("wait ") + word, WaitFor{*known, waitTimeout(parser)}});
    } else if (parser.isSet(QStringLiteral("timeout"))) {
        throw UsageError(QStringLiteral("--timeout goes with --wait"));
    }
    if (steps.empty())
        throw UsageError(QStringLiteral("no command given (qv7ctl --list shows them)"));
    return steps;
}

} // namespace

Request parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    setUp(parser);
    if (!parser.parse(arguments))
        throw UsageError(parser.errorText());
    Request request;
    if (std::optional<QString> text = textToPrint(parser)) {
        request.print = std::move(*text);
        return request;
    }
    const QStringList words = parser.positionalArguments();
    const bool metrics = words == QStringList{kMetrics};
    if (!metrics && words.contains(kMetrics))
        throw UsageError(QStringLiteral("metrics goes alone"));
    request.options = fleetOptions(parser, metrics);
    request.steps = scriptSteps(parser, words, metrics);
    request.targets = selectTargets(parser, metrics, request.options.named);
    return request;
}

} // namespace qv7::ctl
