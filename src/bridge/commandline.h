#pragma once

#include "cli/options.h"
#include "inventory/inventory.h"
#include "mqttclient.h"
#include "mqttface.h"

#include <QCommandLineParser>
#include <QStringList>

namespace qv7::bridge {

using cli::UsageError;

// What the bridge's command line asks for: the inventory to serve, the broker, the metrics'
// address and how the faces behave.
struct BridgeOptions {
    QString inventory;
    std::optional<BrokerSettings> broker; // nothing: PJLink only
    std::optional<ListenAddress> metrics;
    BridgeSettings bridge;
};

// The bridge's options on a parser, for --help and for parsing.
void addOptions(QCommandLineParser &parser);
// Checks the options a parser has read, and reads the password file; throws UsageError.
BridgeOptions options(const QCommandLineParser &parser);
// The PJLink password of a projector of the inventory file, from the first line of its file
// (empty: none); throws UsageError.
QByteArray pjlinkPassword(const InventoryEntry &projector, const QString &inventory);

} // namespace qv7::bridge
