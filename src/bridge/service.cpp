#include "service.h"

#include "admission.h"
#include "log.h"

#include <algorithm>

namespace qv7::bridge {

namespace {

// What the process holds whatever it serves: standard streams, the event loop's, name
// lookups, certificates and keys being read, lock files being written.
constexpr int kOwnDescriptors = 64;

// The descriptors that the inventory and the connection caps may take at once, logged when
// the limit is lower.
void checkDescriptors(const Configuration &configuration)
{
    const BridgeOptions &options = configuration.options;
    const QList<InventoryEntry> &projectors = configuration.inventory.projectors();
    const auto pjlink = std::ranges::count_if(
        projectors, [](const InventoryEntry &projector) { return projector.pjlinkPort != 0; });
    // Each projector's line and broker connection, each listener, each listener's clients, at
    // most a UDP socket for each PJLink face and one for searches, and the reserve below which
    // the listeners stop accepting.
    const int udp = pjlink && options.pjlinkUdpPort ? int(pjlink) + 1 : 0;
    int needed = kOwnDescriptors + Admission::kReserve + int(projectors.size()) * 2 +
                 int(pjlink) * (1 + PjlinkServer::kCaps.total) + udp;
    QStringList parts{QStringLiteral("%1 projector(s), %2 of them on PJLink (%3 clients each)")
                          .arg(projectors.size())
                          .arg(pjlink)
                          .arg(PjlinkServer::kCaps.total)};
    if (options.web) {
        needed += 1 + WebServer::kCaps.total;
        parts += QStringLiteral("the web pages (%1)").arg(WebServer::kCaps.total);
    }
    if (options.metrics) {
        needed += 1 + MetricsServer::kCaps.total;
        parts += QStringLiteral("the metrics (%1)").arg(MetricsServer::kCaps.total);
    }
    checkDescriptorLimit(needed, parts.join(QStringLiteral(", ")));
}

} // namespace

bool Service::open(const Configuration &configuration)
{
    checkDescriptors(configuration);
    const QList<InventoryEntry> &projectors = configuration.inventory.projectors();
    if (const quint16 port = configuration.options.pjlinkUdpPort;
        port && std::ranges::any_of(projectors, &InventoryEntry::pjlinkPort))
        pjlinkUdp_ = std::make_unique<PjlinkUdp>(port);
    if (const auto &broker = configuration.options.broker) {
        venue_ = std::make_unique<Venue>(configuration.options.bridge.hostName);
        venueLink_ =
            std::make_unique<VenueLink>(*venue_, *broker, configuration.options.bridge.topicPrefix,
                                        configuration.options.web.has_value());
    }
    for (qsizetype i = 0; i < projectors.size(); ++i) {
        if (!addProjector(projectors[i], configuration.passwords[std::size_t(i)],
                          configuration.options))
            return false;
    }
    if (pjlinkUdp_ && !pjlinkUdp_->open()) {
        logEvent(Priority::Error, QStringLiteral("qv7-bridge: %1").arg(pjlinkUdp_->errorString()));
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
    if (pjlinkUdp_)
        pjlinkUdp_->add(*lines_.back());
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
    web_ = std::make_unique<WebFace>(lines(), settings, venue_.get());
    if (web_->listen())
        return true;
    logEvent(Priority::Error, QStringLiteral("qv7-bridge: web pages on port %1: %2")
                                  .arg(settings.address.port)
                                  .arg(web_->errorString()));
    return false;
}

void Service::start()
{
    if (venueLink_)
        venueLink_->start();
    for (const auto &line : lines_)
        line->start();
}

void Service::stop()
{
    for (const auto &face : faces_)
        face->stop();
    if (venueLink_)
        venueLink_->stop();
}

} // namespace qv7::bridge
