#include "exitcodes.h"

namespace qv7::ctl {

namespace {

// The engine names the failures a script must tell apart in the same words every time.
struct FailureExit {
    QLatin1StringView phrase;
    int code;
};

constexpr FailureExit kFailureExits[] = {
    {QLatin1StringView("in use by another program"), EX_TEMPFAIL},
    {QLatin1StringView("in use by another client"), EX_TEMPFAIL},
    {QLatin1StringView("permission denied"), EX_NOPERM},
};

} // namespace

int failureExitCode(const QString &description)
{
    for (const FailureExit &failure : kFailureExits) {
        if (description.contains(failure.phrase))
            return failure.code;
    }
    return EX_IOERR;
}

} // namespace qv7::ctl
