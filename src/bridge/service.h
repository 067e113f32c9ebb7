#pragma once

#include "bridge/metrics/metricsserver.h"
#include "bridge/mqtt/mqttface.h"
#include "bridge/mqtt/venuelink.h"
#include "bridge/pjlink/pjlinkserver.h"
#include "bridge/pjlink/pjlinkudp.h"
#include "bridge/web/webface.h"
#include "commandline.h"
#include "lineowner.h"

#include <memory>
#include <vector>

namespace qv7::bridge {

// The bridge at work: the owner of each projector's line and its faces, on the broker and as
// a PJLink device (Class 2's datagrams for all of them on UDP), and the metrics of them all. They
// go in the reverse of the order they came.
class Service {
public:
    // Makes the lines and their faces, and opens the servers' ports; false, with the reason
    // logged, when a port cannot be listened on.
    bool open(const Configuration &configuration);
    // The faces hear of the lines' first events, so the lines start only once they are there.
    void start();
    // Each face says goodbye, marking its projector offline.
    void stop();

private:
    bool addProjector(const InventoryEntry &projector, const QByteArray &password,
                      const BridgeOptions &options);
    bool addMetrics(const ListenAddress &address);
    bool addWeb(const WebSettings &settings);
    std::vector<LineOwner *> lines() const;

    std::vector<std::unique_ptr<LineOwner>> lines_;
    // With a broker: the projectors of the venue, and this host on it.
    std::unique_ptr<Venue> venue_;
    std::unique_ptr<VenueLink> venueLink_;
    std::vector<std::unique_ptr<MqttFace>> faces_;
    // One for all PJLink ports, before the servers that use it.
    LoginThrottle pjlinkThrottle_;
    std::vector<std::unique_ptr<PjlinkServer>> pjlinkServers_;
    std::unique_ptr<PjlinkUdp> pjlinkUdp_; // when a projector has a PJLink face
    std::unique_ptr<MetricsServer> metrics_;
    std::unique_ptr<WebFace> web_;
};

} // namespace qv7::bridge
