// qv7ctl: the projector from scripts, cron and monitoring.

#include "ctl/commandline.h"
#include "ctl/exitcodes.h"
#include "ctl/fleet.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qv7ctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QV7_VERSION));

    qv7::ctl::Request request;
    try {
        request = qv7::ctl::parseCommandLine(QCoreApplication::arguments());
    } catch (const qv7::ctl::UsageError &error) {
        std::fprintf(stderr, "qv7ctl: %s\nTry 'qv7ctl --help'.\n", qPrintable(error.description()));
        return EX_USAGE;
    }
    if (!request.print.isEmpty()) {
        std::fputs(request.print.toLocal8Bit().constData(), stdout);
        return EX_OK;
    }
    qv7::ctl::Fleet fleet(request.targets, request.steps, request.options);
    QObject::connect(&fleet, &qv7::ctl::Fleet::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    fleet.start();
    return QCoreApplication::exec();
}
