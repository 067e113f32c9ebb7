#pragma once

#include "engine/describederror.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qv7 {
struct HoldCommand;
struct OneShotCommand;
} // namespace qv7

namespace qv7::ctl {

// A command line the tool cannot run; its text says what was wrong.
class UsageError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

// A one-shot button's click: "power on", "status".
struct Click {
    const OneShotCommand *row;
};
// A hold button kept down for count sends at its own period: "volume up 5".
struct Hold {
    const HoldCommand *row;
    int count;
};
// A code that no verb names: "C01", "CR3".
struct Raw {
    std::string code;
};
// Polls the power state once a second until it shows the word ("on", "standby").
struct WaitFor {
    std::string_view word;
    std::chrono::milliseconds timeout;
};

// One command of a script, with the words that asked for it.
struct Step {
    QString words;
    std::variant<Click, Hold, Raw, WaitFor> action;
};

inline constexpr int kMaxCount = 100;
// Power words that --wait takes.
inline constexpr std::string_view kWaitWords[] = {"on", "standby"};

// The steps that a script's words name, in order: verbs of the command table with their
// arguments and counts, and raw codes. Throws UsageError.
std::vector<Step> parseScript(const QStringList &words);

// The query that --wait polls.
const OneShotCommand &statusQuery();

// The code a step sends (a wait sends the power-state query).
std::string_view stepCode(const Step &step);

} // namespace qv7::ctl
