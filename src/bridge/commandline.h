#pragma once

#include "engine/describederror.h"
#include "mqttclient.h"
#include "projectorbridge.h"

#include <QCommandLineParser>
#include <QStringList>

namespace qv7::bridge {

// A command line the bridge cannot run with; its text names the option at fault.
class UsageError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

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
