// The program's entry: the window Form1 on the ports the command line names, on a simulated
// projector, or on the platform's COM1 and COM2.

#include "app/simulation.h"
#include "cli/options.h"
#include "panel/fonts.h"
#include "panel/form1.h"
#include "protocol/networkport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>

#include "cli/exitstatus.h"
#include <cstring>

namespace {

struct PanelOptions {
    QCommandLineOption com1{QStringLiteral("com1"),
                            QStringLiteral("Use DEVICE as COM1: a serial device, a "
                                           "pseudo-terminal, or a network port tcp://HOST:PORT "
                                           "or rfc2217://HOST:PORT."),
                            QStringLiteral("DEVICE")};
    QCommandLineOption com2{QStringLiteral("com2"), QStringLiteral("Use DEVICE as COM2."),
                            QStringLiteral("DEVICE")};
    QCommandLineOption connectTimeout = qv7::cli::connectTimeoutOption();
    QCommandLineOption simulate{
        QStringLiteral("simulate"),
        QStringLiteral("Put COM1 on a simulated projector over a pseudo-terminal (a loopback "
                       "network port on Windows), and log what it receives and answers.")};
};

void parse(QCommandLineParser &parser, const PanelOptions &options, const QCoreApplication &app)
{
    QCoreApplication::setApplicationName(QStringLiteral("qv7rsc"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QV7_VERSION));
    parser.setApplicationDescription(
        QStringLiteral("Remote-control panel for a data and video projector on a serial line."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({options.com1, options.com2, options.connectTimeout, options.simulate});
    parser.process(app);
}

// --help and --version print and end; they need no display.
bool asksOnlyForText(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char *flag : {"-h", "--help", "--help-all", "-v", "--version"})
            if (std::strcmp(argv[i], flag) == 0)
                return true;
    }
    return false;
}

[[noreturn]] void quit(const QString &message)
{
    QTextStream(stderr) << "qv7rsc: " << message << Qt::endl;
    std::exit(EX_USAGE);
}

// A network port name that cannot work is the command line's mistake, told before the window.
QString portOption(const QCommandLineParser &parser, const QCommandLineOption &option)
{
    const QString device = parser.value(option);
    const std::string name = device.toStdString();
    if (qv7::isNetworkPortName(name)) {
        const qv7::NetworkPortName parsed = qv7::parseNetworkPort(name);
        if (!parsed.port)
            quit(QStringLiteral("--%1 %2: %3")
                     .arg(option.names().constFirst(), device,
                          QString::fromStdString(parsed.error)));
    }
    return device;
}

} // namespace

int main(int argc, char *argv[])
{
    const PanelOptions options;
    QCommandLineParser parser;
    if (asksOnlyForText(argc, argv)) {
        const QCoreApplication app(argc, argv);
        parse(parser, options, app);
    }

    const QApplication app(argc, argv);
    // Desktops find the window's icon and entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(QV7_APP_ID));
    parse(parser, options, app);
#ifdef Q_OS_WIN
    qv7::addShippedFaces();
#endif

    qv7::Form1 form;
    try {
        form.line().setConnectTimeout(qv7::cli::connectTimeout(parser));
    } catch (const qv7::cli::UsageError &error) {
        quit(error.description());
    }
    if (parser.isSet(options.com1))
        form.line().setDevice(1, portOption(parser, options.com1));
    if (parser.isSet(options.com2))
        form.line().setDevice(2, portOption(parser, options.com2));
    std::unique_ptr<qv7::sim::SimulatorServer> projector;
    if (parser.isSet(options.simulate)) {
        try {
            projector = qv7::simulateProjectorOnCom1(form.line());
        } catch (const qv7::CommError &error) {
            QTextStream(stderr) << error.description() << Qt::endl;
            return 1;
        }
        QTextStream(stdout) << "Simulated projector on " << projector->portName() << Qt::endl;
        QObject::connect(projector.get(), &qv7::sim::SimulatorServer::trafficLogged, &form,
                         [](const QString &line) { QTextStream(stdout) << line << Qt::endl; });
    }
    form.load();
    return QApplication::exec();
}
