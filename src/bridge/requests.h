#pragma once

#include "engine/describederror.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv7::bridge {

// A payload that names no command; its text says what was wrong with it.
class PayloadError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

// One command for the line, with the words that asked for it ("input video", "volume up 3").
struct Request {
    QString words;
    std::string code;
};

// The words of the state topics: the power states, the inputs.
QStringList powerWords();
QStringList inputWords();

// What a command topic's payload asks for; each throws PayloadError.
// power/set: ON or OFF.
Request powerRequest(const QByteArray &payload);
// input/set: one of inputWords().
Request inputRequest(const QByteArray &payload);
// command: a verb of the command table with its argument, a held verb with an optional count
// (sent that many times), or a raw code.
std::vector<Request> commandRequests(const QByteArray &payload);

// Whether the projector takes a code whatever its power state: the queries and power on.
// Everything else waits until the projector is on.
bool takenInAnyState(std::string_view code);

} // namespace qv7::bridge
