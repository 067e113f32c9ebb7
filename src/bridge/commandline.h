#pragma once

#include "cli/options.h"
#include "mqttclient.h"
#include "projectorbridge.h"

#include <QCommandLineParser>
#include <QStringList>

namespace qv7::bridge {

using cli::UsageError;

struct Options {
    QString inventory;
    BrokerSettings broker;
    BridgeSettings bridge;
};

// The bridge's options on a parser, for --help and for parsing.
void addOptions(QCommandLineParser &parser);
// Checks the options a parser has read, and reads the password file; throws UsageError.
Options options(const QCommandLineParser &parser);

} // namespace qv7::bridge
