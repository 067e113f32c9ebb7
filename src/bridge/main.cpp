// qv7-bridge: the projectors of an inventory file on an MQTT broker and as PJLink devices.

#include "commandline.h"
#include "lineowner.h"
#include "log.h"
#include "metricsserver.h"
#include "mqttface.h"
#include "pjlinkserver.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <memory>
#include <sys/signalfd.h>
#include "cli/exitstatus.h"
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
    BridgeOptions settings;
    Inventory inventory;
    std::vector<QByteArray> passwords;
    try {
        if (!parser.parse(QCoreApplication::arguments()))
            throw UsageError(parser.errorText());
        if (parser.isSet(QStringLiteral("help")))
            parser.showHelp(EX_OK);
        if (parser.isSet(QStringLiteral("version")))
            parser.showVersion();
        settings = options(parser);
        inventory = Inventory::load(settings.inventory);
        bool pjlink = false;
        for (const InventoryEntry &projector : inventory.projectors()) {
            passwords.push_back(pjlinkPassword(projector, settings.inventory));
            pjlink = pjlink || projector.pjlinkPort;
        }
        if (!settings.broker && !pjlink && !settings.metrics)
            throw UsageError(QStringLiteral("nothing to serve: give --broker URL, --metrics "
                                            "PORT, or a pjlink key to a projector of %1")
                                 .arg(settings.inventory));
    } catch (const DescribedError &error) {
        logEvent(Priority::Error, QStringLiteral("qv7-bridge: ") + error.description());
        return EX_USAGE;
    }

    // The faces hear of the lines' first events, so they are there before the lines start.
    std::vector<std::unique_ptr<LineOwner>> lines;
    std::vector<std::unique_ptr<MqttFace>> faces;
    std::vector<std::unique_ptr<PjlinkServer>> pjlinkServers;
    for (const InventoryEntry &projector : inventory.projectors()) {
        lines.push_back(std::make_unique<LineOwner>(
            projector,
            LineOwner::Settings{settings.bridge.verbose, settings.bridge.connectTimeoutMs}));
        if (settings.broker)
            faces.push_back(
                std::make_unique<MqttFace>(*lines.back(), *settings.broker, settings.bridge));
        if (!projector.pjlinkPort)
            continue;
        pjlinkServers.push_back(
            std::make_unique<PjlinkServer>(*lines.back(), passwords[lines.size() - 1]));
        if (!pjlinkServers.back()->listen()) {
            logEvent(Priority::Error, QStringLiteral("qv7-bridge: %1: PJLink on %2: %3")
                                          .arg(projector.name, pjlinkServers.back()->label(),
                                               pjlinkServers.back()->errorString()));
            return EX_UNAVAILABLE;
        }
    }
    std::unique_ptr<MetricsServer> metrics;
    if (settings.metrics) {
        std::vector<const LineOwner *> owned;
        for (const auto &line : lines)
            owned.push_back(line.get());
        metrics = std::make_unique<MetricsServer>(owned);
        if (!metrics->listen(settings.metrics->host, settings.metrics->port)) {
            logEvent(Priority::Error, QStringLiteral("qv7-bridge: metrics on port %1: %2")
                                          .arg(settings.metrics->port)
                                          .arg(metrics->errorString()));
            return EX_UNAVAILABLE;
        }
    }
    for (const auto &line : lines)
        line->start();

    const int stopFd = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        logEvent(Priority::Error, QStringLiteral("qv7-bridge: cannot watch for signals"));
        return EX_OSERR;
    }
    QSocketNotifier stop(stopFd, QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, [&faces] {
        logEvent(Priority::Info, QStringLiteral("stopping"));
        for (const auto &face : faces)
            face->stop();
        QCoreApplication::quit();
    });
    const int status = QCoreApplication::exec();
    metrics.reset();
    pjlinkServers.clear();
    faces.clear();
    lines.clear();
    ::close(stopFd);
    return status;
}
