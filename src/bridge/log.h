#pragma once

#include <QString>

namespace qv7::bridge {

// Syslog priorities, which the journal reads from a "<N>" in front of a line.
enum class Priority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

// One event, one line on standard error. Under systemd (JOURNAL_STREAM set) the line carries
// its priority for the journal, which adds the time; in a terminal it is the bare text. Control
// characters in it are escaped ("\n", "\x1b"), so that one event stays one line.
void logEvent(Priority priority, const QString &line);

} // namespace qv7::bridge
