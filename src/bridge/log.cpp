#include "log.h"

#include <cstdio>

namespace qv7::bridge {

namespace {

// Text from the network (a PJLink request, a topic, a header) may hold line ends and other
// controls: escaped, it can neither forge a line of its own nor hide what it held.
QString escapeControls(const QString &line)
{
    QString escaped;
    escaped.reserve(line.size());
    for (const QChar c : line) {
        if (c == u'\n')
            escaped += QLatin1String("\\n");
        else if (c == u'\r')
            escaped += QLatin1String("\\r");
        else if (c == u'\t')
            escaped += QLatin1String("\\t");
        else if (c.category() == QChar::Other_Control)
            escaped += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else if (c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16);
        else
            escaped += c;
    }
    return escaped;
}

} // namespace

void logEvent(Priority priority, const QString &line)
{
    static const bool journal = !qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
    const QByteArray text = escapeControls(line).toUtf8();
    if (journal)
        std::fprintf(stderr, "<%d>%s\n", int(priority), text.constData());
    else
        std::fprintf(stderr, "%s\n", text.constData());
    std::fflush(stderr);
}

} // namespace qv7::bridge
