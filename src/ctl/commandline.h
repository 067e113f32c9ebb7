#pragma once

#include "fleet.h"
#include "script.h"
#include "session.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

namespace qv7::ctl {

// What a command line asks for: text to print and leave (help, version, the vocabulary), or a
// script to run on some projectors.
struct Request {
    QString print;
    QList<ScriptTarget> targets;
    std::vector<Step> steps;
    Fleet::Options options;
};

// Reads qv7ctl's command line, with the inventory file it names. Throws UsageError, with the
// file and line at fault for a bad inventory.
Request parseCommandLine(const QStringList &arguments);

} // namespace qv7::ctl
