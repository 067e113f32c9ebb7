#pragma once

#include "base/describederror.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace qv7::cli {

// A command line a program cannot run with; its text names the option or word at fault.
class UsageError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

// --connect-timeout MS: how long a network port may take to connect.
QCommandLineOption connectTimeoutOption();
// Its value, or the default when it is not given; throws UsageError for a bad one.
int connectTimeout(const QCommandLineParser &parser);

} // namespace qv7::cli
