// qv7-projector-sim: a projector on a pseudo-terminal (or a real serial device) for the panel
// to talk to, logging every command and answer.

#include "sim/server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace qv7::sim;

namespace {

[[noreturn]] void quit(const QString &message)
{
    std::fprintf(stderr, "qv7-projector-sim: %s\n", qPrintable(message));
    std::exit(1);
}

int number(const QCommandLineParser &parser, const QString &option, int low, int high)
{
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < low || value > high)
        quit(QStringLiteral("--%1 takes a number from %2 to %3").arg(option).arg(low).arg(high));
    return value;
}

std::chrono::milliseconds seconds(const QCommandLineParser &parser, const QString &option)
{
    bool ok = false;
    const double value = parser.value(option).toDouble(&ok);
    if (!ok || value < 0 || value > 3600)
        quit(QStringLiteral("--%1 takes seconds from 0 to 3600").arg(option));
    return std::chrono::milliseconds(qRound64(value * 1000));
}

} // namespace

int main(int argc, char *argv[])
{
    // Interrupts end the event loop rather than the process, so that a --link goes away.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qv7-projector-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QV7_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A simulated projector on an RS-232C line. Prints the port to open on its first line, "
        "then every command and answer."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("link"), QStringLiteral("Make a symbolic link to the pseudo-terminal."),
         QStringLiteral("path")},
        {QStringLiteral("device"), QStringLiteral("Serve a real serial device instead."),
         QStringLiteral("path")},
        {QStringLiteral("listen"),
         QStringLiteral("Serve a network port instead, to one client at a time: "
                        "tcp://ADDRESS:PORT (raw) or rfc2217://ADDRESS:PORT, where the client "
                        "sets the speed; port 0 takes a free one."),
         QStringLiteral("url")},
        {QStringLiteral("takeover-after"),
         QStringLiteral("With --listen, a new client takes over from one that has sent nothing "
                        "for this long (5 by default); keepalive frees a dead one after 25 s."),
         QStringLiteral("seconds"), QStringLiteral("5")},
        {QStringLiteral("baud"), QStringLiteral("The projector's speed (19200 or 9600)."),
         QStringLiteral("rate"), QStringLiteral("19200")},
        {QStringLiteral("warm-up"), QStringLiteral("Seconds from power on to on."),
         QStringLiteral("seconds"), QStringLiteral("3")},
        {QStringLiteral("cool-down"), QStringLiteral("Seconds from power off to standby."),
         QStringLiteral("seconds"), QStringLiteral("3")},
        {QStringLiteral("lamp-speed-up"),
         QStringLiteral("Lamp seconds per second; 3600 counts an hour a second."),
         QStringLiteral("factor"), QStringLiteral("1")},
        {QStringLiteral("lamp-hours"), QStringLiteral("Lamp hours at the start."),
         QStringLiteral("hours"), QStringLiteral("0")},
        {QStringLiteral("orientation"), QStringLiteral("Picture orientation: 11, 10, 01 or 00."),
         QStringLiteral("digits"), QStringLiteral("11")},
        {QStringLiteral("fault"),
         QStringLiteral("Report an abnormality: power or temperature (may be repeated)."),
         QStringLiteral("kind")},
        {QStringLiteral("no-answer"), QStringLiteral("Take commands but never answer.")},
        {QStringLiteral("delay"), QStringLiteral("Hold every answer back this long."),
         QStringLiteral("ms"), QStringLiteral("0")},
        {QStringLiteral("pieces"), QStringLiteral("Send answers a byte at a time, this far apart."),
         QStringLiteral("ms"), QStringLiteral("0")},
        {QStringLiteral("noise"), QStringLiteral("Put rubbish bytes before every answer.")},
    });
    parser.process(app);
    const int lines = int(parser.isSet(QStringLiteral("device"))) +
                      int(parser.isSet(QStringLiteral("listen"))) +
                      int(parser.isSet(QStringLiteral("link")));
    if (lines > 1)
        quit(QStringLiteral("choose one of --link, --device and --listen"));
    if (parser.isSet(QStringLiteral("takeover-after")) && !parser.isSet(QStringLiteral("listen")))
        quit(QStringLiteral("--takeover-after goes with --listen"));

    SimulatedProjector::Settings settings;
    settings.warmUp = seconds(parser, QStringLiteral("warm-up"));
    settings.coolDown = seconds(parser, QStringLiteral("cool-down"));
    settings.lampSpeedUp =
        number(parser, QStringLiteral("lamp-speed-up"), 1, SimulatedProjector::kMaxLampSpeedUp);
    settings.lampHours =
        number(parser, QStringLiteral("lamp-hours"), 0, SimulatedProjector::kMaxLampHours);
    settings.orientation = parser.value(QStringLiteral("orientation")).toStdString();

    std::unique_ptr<SimulatorServer> server;
    try {
        server = std::make_unique<SimulatorServer>(settings);
    } catch (const std::invalid_argument &error) {
        quit(QString::fromUtf8(error.what()));
    }
    if (!server->setBaudRate(number(parser, QStringLiteral("baud"), 1, 115200)))
        quit(QStringLiteral("the projector has no speed %1")
                 .arg(parser.value(QStringLiteral("baud"))));
    for (const QString &fault : parser.values(QStringLiteral("fault"))) {
        if (fault == QLatin1String("power"))
            server->projector().setPowerAbnormality(true, Clock::now());
        else if (fault == QLatin1String("temperature"))
            server->projector().setTemperatureAbnormality(true);
        else
            quit(QStringLiteral("--fault is power or temperature, not ") + fault);
    }
    SimulatorServer::Faults faults;
    faults.noAnswer = parser.isSet(QStringLiteral("no-answer"));
    faults.delayMs = number(parser, QStringLiteral("delay"), 0, 60000);
    faults.pieceGapMs = number(parser, QStringLiteral("pieces"), 0, 60000);
    faults.noise = parser.isSet(QStringLiteral("noise"));
    server->setFaults(faults);
    server->setTakeoverAfter(seconds(parser, QStringLiteral("takeover-after")));

    const bool opened = parser.isSet(QStringLiteral("device"))
                            ? server->openDevice(parser.value(QStringLiteral("device")))
                        : parser.isSet(QStringLiteral("listen"))
                            ? server->listen(parser.value(QStringLiteral("listen")))
                            : server->openPseudoTerminal(parser.value(QStringLiteral("link")));
    if (!opened)
        quit(server->errorString());

    // The first line is the port alone, for scripts that start the simulator and read it.
    std::printf("%s\n", qPrintable(server->portName()));
    std::fflush(stdout);
    QObject::connect(server.get(), &SimulatorServer::trafficLogged, &app, [](const QString &line) {
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    });

    const int stopFd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0)
        quit(QStringLiteral("cannot watch for signals"));
    QSocketNotifier stop(stopFd, QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

    const int status = QCoreApplication::exec();
    server.reset();
    ::close(stopFd);
    return status;
}
