#include "log.h"

#include <cstdio>

namespace qv7::bridge {

void logEvent(Priority priority, const QString &line)
{
    static const bool journal = !qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
    const QByteArray text = line.toUtf8();
    if (journal)
        std::fprintf(stderr, "<%d>%s\n", int(priority), text.constData());
    else
        std::fprintf(stderr, "%s\n", text.constData());
    std::fflush(stderr);
}

} // namespace qv7::bridge
