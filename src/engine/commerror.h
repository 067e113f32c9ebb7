#pragma once

#include "base/describederror.h"

#include <QMetaType>

#include <string_view>

namespace qv7 {

// What kind of failure the line had, decided where it was found. Programs act on the kind (an
// exit status, a link state); the operator reads the description.
enum class FailureKind {
    NoSuchDevice,     // no device by that name: unplugged, or a typo
    PermissionDenied, // the device's permissions keep this user out
    InUse,            // another program or client holds the port
    OpenFailed,       // the device is there and would not open for another reason
    Lost,             // an open line went away: unplugged, hung up, connection lost
    WriteFailed,      // the line did not take the bytes
    Refused,          // a network port refused the connection
    Unreachable,      // a network port's host is unknown or cannot be reached
    ConnectTimedOut,  // a network port did not connect in time
    NoReply,          // the projector did not answer within the reply window
    Unsupported,      // a setting or request the line cannot take now
};

// The kind's word for programs and logs: "no-such-device", "in-use", ...
std::string_view failureWord(FailureKind kind);

// A failure as it is reported: its kind and the operator's text.
struct Failure {
    FailureKind kind = FailureKind::Lost;
    QString description;
};

// The one failure of the line. Its description is written for an operator: it names the port
// and its device, says what went wrong and, where it helps, what to do about it. A transport
// says only what went wrong; the serial control adds the port's name before it goes on.
class CommError : public DescribedError {
public:
    CommError(FailureKind kind, const QString &description)
        : DescribedError(description)
        , kind_(kind)
    {
    }

    FailureKind kind() const noexcept { return kind_; }
    Failure failure() const { return {kind_, description()}; }

private:
    FailureKind kind_;
};

} // namespace qv7

Q_DECLARE_METATYPE(qv7::Failure)
