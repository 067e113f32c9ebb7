#include "options.h"

#include "engine/transport.h"

namespace qv7::cli {

namespace {

const QString kConnectTimeout = QStringLiteral("connect-timeout");
constexpr int kLongestConnectTimeoutMs = 600000;

} // namespace

QCommandLineOption connectTimeoutOption()
{
    const int byDefault = TransportOptions{}.connectTimeoutMs;
    return {kConnectTimeout,
            QStringLiteral("Milliseconds a network port may take to connect (default %1).")
                .arg(byDefault),
            QStringLiteral("ms"), QString::number(byDefault)};
}

int connectTimeout(const QCommandLineParser &parser)
{
    bool ok = false;
    const int milliseconds = parser.value(kConnectTimeout).toInt(&ok);
    if (!ok || milliseconds < 1 || milliseconds > kLongestConnectTimeoutMs)
        throw UsageError(QStringLiteral("--connect-timeout takes milliseconds from 1 to %1, not %2")
                             .arg(kLongestConnectTimeoutMs)
                             .arg(parser.value(kConnectTimeout)));
    return milliseconds;
}

} // namespace qv7::cli
