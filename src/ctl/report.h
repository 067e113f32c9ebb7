#pragma once

#include "session.h"

#include <QList>
#include <QString>

namespace qv7::ctl {

enum class Format { Text, Raw, Json };

// The line an outcome prints on standard output, empty for none: the status text of a query,
// the RXD rendering (--raw, and in place of a reply that decodes to nothing) or a JSON object,
// which names the projector when the command runs on several.
QString resultLine(const Outcome &outcome, const ScriptTarget &target, Format format, bool named);

// The commands that scripts can name, with their codes, from the command table.
QString vocabulary();

// What one projector answered for the monitoring: the outcomes of its power and lamp-hours
// queries, as many as it got through.
struct Reading {
    QString projector;
    QList<Outcome> outcomes;
};

// The readings in the Prometheus text exposition format.
QString metrics(const QList<Reading> &readings);

} // namespace qv7::ctl
