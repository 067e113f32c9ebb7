#include "service.h"

#include "log.h"

namespace qv7::bridge {

bool Service::open(const Configuration &configuration)
{
    const QList<InventoryEntry> &projectors = configuration.inventory.projectors();
    for (qsizetype i = 0; i < projectors.size(); ++i) {
        if (!addProjector(projectors[i], configuration.passwords[std::size_t(i)],
                          configuration.options))
            return false;
    }
    if (configuration.options.metrics && !addMetrics(*configuration.options.metrics))
        return false;
    return !configuration.options.web || addWeb(*configuration.options.web);
}

bool Service::addProjector(const InventoryEntry &projector, const QByteArray &password,
                           const BridgeOptions &options)
{
    lines_.push_back(std::make_unique<LineOwner>(
        projector, LineOwner::Settings{options.bridge.verbose, options.bridge.connectTimeoutMs}));
    if (options.broker)
        faces_.push_back(
            std::make_unique<MqttFace>(*lines_.back(), *options.broker, options.bridge));
    if (!projector.pjlinkPort)
        return true;
    pjlinkServers_.push_back(
        std::make_unique<PjlinkServer>(*lines_.back(), password, pjlinkThrottle_));
    if (pjlinkServers_.back()->listen())
        return true;
    logEvent(Priority::Error, QStringLiteral("qv7-bridge: %1: PJLink on %2: %3")
                                  .arg(projector.name, pjlinkServers_.back()->label(),
                                       pjlinkServers_.back()->errorString()));
    return false;
}

std::vector<LineOwner *> Service::lines() const
{
    std::vector<LineOwner *> owners;
    for (const auto &line : lines_)
        owners.push_back(line.get());
    return owners;
}

bool Service::addMetrics(const ListenAddress &address)
{
    const std::vector<LineOwner *> owned = lines();
    metrics_ =
        std::make_unique<MetricsServer>(std::vector<const LineOwner *>(owned.begin(), owned.end()));
    if (metrics_->listen(QHostAddress(address.host), address.port))
        return true;
    logEvent(Priority::Error, QStringLiteral("qv7-bridge: metrics on port %1: %2")
                                  .arg(address.port)
                                  .arg(metrics_->errorString()));
    return false;
}

bool Service::addWeb(const WebSettings &settings)
{
    web_ = std::make_unique<WebFace>(lines(), settings);
    if (web_->listen())
        return true;
    logEvent(Priority::Error, QStringLiteral("qv7-bridge: web pages on port %1: %2")
                                  .arg(settings.address.port)
                                  .arg(web_->errorString()));
    return false;
}

void Service::start()
{
    for (const auto &line : lines_)
        line->start();
}

void Service::stop()
{
    for (const auto &face : faces_)
        face->stop();
}

} // namespace qv7::bridge
