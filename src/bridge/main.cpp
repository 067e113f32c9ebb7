// qv7-bridge: the projectors of an inventory file on an MQTT broker and as PJLink devices.

#include "cli/exitstatus.h"
#include "commandline.h"
#include "log.h"
#include "service.h"
#include "stopsignals.h"

#include <QCoreApplication>

#include <csignal>

using namespace qv7;
using namespace qv7::bridge;

int main(int argc, char *argv[])
{
    // A client or a log reader that goes away mid-write is an error of that write, never the
    // end of the daemon: OpenSSL and standard error write without MSG_NOSIGNAL.
    std::signal(SIGPIPE, SIG_IGN);
    // A stop signal ends the event loop, so that each projector says goodbye as offline.
    const sigset_t stops = blockStopSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qv7-bridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QV7_VERSION));

    Configuration configuration;
    try {
        configuration = configure(QCoreApplication::arguments());
    } catch (const DescribedError &error) {
        logEvent(Priority::Error, QStringLiteral("qv7-bridge: ") + error.description());
        return EX_USAGE;
    }
    for (const QString &warning : std::as_const(configuration.warnings))
        logEvent(Priority::Warning, QStringLiteral("qv7-bridge: ") + warning);
    Service service;
    if (!service.open(configuration))
        return EX_UNAVAILABLE;
    service.start();

    StopSignals stop(stops);
    if (!stop.watch([&service] {
            logEvent(Priority::Info, QStringLiteral("stopping"));
            service.stop();
            QCoreApplication::quit();
        }))
        return EX_OSERR;
    return QCoreApplication::exec();
}
