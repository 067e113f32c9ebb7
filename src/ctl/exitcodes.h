#pragma once

#include "engine/commerror.h"

#include "cli/exitstatus.h"
#include <string_view>

namespace qv7::ctl {

// What each exit status tells a script; --help and the manual page list them.
struct ExitCode {
    int code;
    std::string_view meaning;
};

inline constexpr ExitCode kExitCodes[] = {
    {EX_OK, "done"},
    {EX_USAGE, "the command line or the inventory file is wrong"},
    {EX_DATAERR, "a reply that decodes to nothing (its rendering is printed)"},
    {EX_UNAVAILABLE, "no reply within the reply window, or --wait ran out of time"},
    {EX_IOERR, "the line failed: no such device, lost, write failed"},
    {EX_TEMPFAIL, "the port is in use by another program; try again later"},
    {EX_NOPERM, "permission denied on the port, or on a lock file that a program left"},
};

// The exit status for a kind of failure.
int failureExitCode(FailureKind kind);

} // namespace qv7::ctl
