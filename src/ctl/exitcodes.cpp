#include "exitcodes.h"

namespace qv7::ctl {

int failureExitCode(FailureKind kind)
{
    switch (kind) {
    case FailureKind::InUse:
        return EX_TEMPFAIL;
    case FailureKind::PermissionDenied:
        return EX_NOPERM;
    case FailureKind::NoReply:
        return EX_UNAVAILABLE;
    case FailureKind::NoSuchDevice:
    case FailureKind::OpenFailed:
    case FailureKind::Lost:
    case FailureKind::WriteFailed:
    case FailureKind::Refused:
    case FailureKind::Unreachable:
    case FailureKind::ConnectTimedOut:
    case FailureKind::Unsupported:
        break;
    }
    return EX_IOERR;
}

} // namespace qv7::ctl
