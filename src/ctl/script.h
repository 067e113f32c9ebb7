#pragma once

#include "cli/options.h"
#include "protocol/commandwords.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <string_view>
#include <variant>
#include <vector>

namespace qv7::ctl {

using cli::UsageError;

// Polls the power state once a second until it shows the word ("on", "standby").
struct WaitFor {
    std::string_view word;
    std::chrono::milliseconds timeout;
};

// One command of a script, with the words that asked for it.
struct Step {
    QString words;
    std::variant<Command, WaitFor> action;
};

// Power words that --wait takes.
inline constexpr std::string_view kWaitWords[] = {"on", "standby"};

// The steps that a script's words name, in order. Throws UsageError.
std::vector<Step> parseScript(const QStringList &words);

// The query that --wait polls.
const Command &statusQuery();

// The code a step sends (a wait sends the power-state query).
QString stepCode(const Step &step);

} // namespace qv7::ctl
