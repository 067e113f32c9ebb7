// qv7-bridge: the projectors of an inventory file on an MQTT broker.

#include "commandline.h"
#include "log.h"
#include "projectorbridge.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <memory>
#include <sys/signalfd.h>
#include <sysexits.h>
#include <unistd.h>
#include <vector>

using namespace qv7;
using namespace qv7::bridge;

int main(int argc, char *argv[])
{
    // A stop signal ends the event loop, so that each projector says goodbye as offline.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qv7-bridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QV7_VERSION));

    QCommandLineParser parser;
    addOptions(parser);
    Options settings;
    Inventory inventory;
    try {
        if (!parser.parse(QCoreApplication::arguments()))
            throw UsageError(parser.errorText());
        if (parser.isSet(QStringLiteral("help")))
            parser.showHelp(EX_OK);
        if (parser.isSet(QStringLiteral("version")))
            parser.showVersion();
        settings = options(parser);
        inventory = Inventory::load(settings.inventory);
    } catch (const DescribedError &error) {
        logEvent(Priority::Error, QStringLiteral("qv7-bridge: ") + error.description());
        return EX_USAGE;
    }

    std::vector<std::unique_ptr<ProjectorBridge>> bridges;
    for (const InventoryEntry &projector : inventory.projectors()) {
        bridges.push_back(
            std::make_unique<ProjectorBridge>(projector, settings.broker, settings.bridge));
        bridges.back()->start();
    }

    const int stopFd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        logEvent(Priority::Error, QStringLiteral("qv7-bridge: cannot watch for signals"));
        return EX_OSERR;
    }
    QSocketNotifier stop(stopFd, QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, [&bridges] {
        logEvent(Priority::Info, QStringLiteral("stopping"));
        for (const auto &bridge : bridges)
            bridge->stop();
        QCoreApplication::quit();
    });
    const int status = QCoreApplication::exec();
    bridges.clear();
    ::close(stopFd);
    return status;
}
