#include "commerror.h"

namespace qv7 {

std::string_view failureWord(FailureKind kind)
{
    switch (kind) {
    case FailureKind::NoSuchDevice:
        return "no-such-device";
    case FailureKind::PermissionDenied:
        return "permission-denied";
    case FailureKind::InUse:
        return "in-use";
    case FailureKind::OpenFailed:
        return "open-failed";
    case FailureKind::Lost:
        return "lost";
    case FailureKind::WriteFailed:
        return "write-failed";
    case FailureKind::Refused:
        return "refused";
    case FailureKind::Unreachable:
        return "unreachable";
    case FailureKind::ConnectTimedOut:
        return "connect-timed-out";
    case FailureKind::NoReply:
        return "no-reply";
    case FailureKind::Unsupported:
        return "unsupported";
    }
    return "lost";
}

} // namespace qv7
