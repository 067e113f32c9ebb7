// The program's entry: the window Form1 on the ports the command line names, on a simulated
// projector, or on the platform's COM1 and COM2.

#include "link/simulation.h"
#include "panel/form1.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qv7rsc"));
    QApplication::setApplicationVersion(QStringLiteral(QV7_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Remote-control panel for a data and video projector on a serial line."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption com1(QStringLiteral("com1"),
                                  QStringLiteral("Use DEVICE as COM1 (a serial device or a "
                                                 "pseudo-terminal)."),
                                  QStringLiteral("DEVICE"));
    const QCommandLineOption com2(QStringLiteral("com2"), QStringLiteral("Use DEVICE as COM2."),
                                  QStringLiteral("DEVICE"));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("Put COM1 on a simulated projector over a pseudo-terminal, and log what "
                       "it receives and answers."));
    parser.addOptions({com1, com2, simulate});
    parser.process(app);

    qv7::Form1 form;
    if (parser.isSet(com1))
        form.MSComm1->setDevice(1, parser.value(com1));
    if (parser.isSet(com2))
        form.MSComm1->setDevice(2, parser.value(com2));
    std::unique_ptr<qv7::sim::SimulatorServer> projector;
    if (parser.isSet(simulate)) {
        try {
            projector = qv7::simulateProjectorOnCom1(*form.MSComm1);
        } catch (const qv7::CommError &error) {
            QTextStream(stderr) << error.description() << Qt::endl;
            return 1;
        }
        QTextStream(stdout) << "Simulated projector on " << projector->portName() << Qt::endl;
        QObject::connect(projector.get(), &qv7::sim::SimulatorServer::trafficLogged, &form,
                         [](const QString &line) { QTextStream(stdout) << line << Qt::endl; });
    }
    form.load();
    form.show();
    return QApplication::exec();
}
