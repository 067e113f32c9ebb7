#pragma once

#include <QStringList>

namespace qv7 {

// The other processes that have the device open, as "cat (pid 1234)". A program that takes no
// lock (cat, a shell's redirection) would share the line and swallow the replies unseen. Only
// the processes that /proc shows this user are found, and only on Linux.
QStringList deviceHolders(const QString &device);

} // namespace qv7
