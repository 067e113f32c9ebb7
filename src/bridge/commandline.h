#pragma once

#include "bridge/mqtt/mqttclient.h"
#include "bridge/mqtt/mqttface.h"
#include "bridge/web/webface.h"
#include "cli/options.h"
#include "inventory/inventory.h"

#include <QCommandLineParser>
#include <QStringList>

#include <vector>

namespace qv7::bridge {

using cli::UsageError;

// What the bridge's command line asks for: the inventory to serve, the broker, the metrics'
// address and how the faces behave.
struct BridgeOptions {
    QString inventory;
    std::optional<BrokerSettings> broker; // nothing: PJLink only
    std::optional<ListenAddress> metrics;
    std::optional<WebSettings> web;
    BridgeSettings bridge;
    // PJLink Class 2's search and notifications on UDP (0: none).
    quint16 pjlinkUdpPort = pjlink::kUdpPort;
};

// The bridge's options on a parser, for --help and for parsing.
void addOptions(QCommandLineParser &parser);
// Checks the options a parser has read, and reads the password files; throws UsageError. What
// is taken but unsafe (a password file every user may read) is added to warnings.
BridgeOptions options(const QCommandLineParser &parser, QStringList &warnings);
// The PJLink password of a projector of the inventory file, from the first line of its file
// (empty: none); throws UsageError.
QByteArray pjlinkPassword(const InventoryEntry &projector, const QString &inventory,
                          QStringList &warnings);

// What the bridge runs with: its options, the inventory they name, and the PJLink password of
// each of its projectors in turn.
struct Configuration {
    BridgeOptions options;
    Inventory inventory;
    std::vector<QByteArray> passwords;
    QStringList warnings; // for the log at start
};
// Reads the command line, the inventory and the password files; --help and --version print
// and exit. Throws UsageError or InventoryError, and UsageError for projectors whose discovery
// ids on the broker would be the same, that share a PJLink address and port or a MAC address,
// or that would notify a controller their PJLink address cannot reach.
Configuration configure(const QStringList &arguments);

} // namespace qv7::bridge
