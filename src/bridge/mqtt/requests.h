#pragma once

#include "base/describederror.h"
#include "protocol/commandwords.h"

#include <QByteArray>
#include <QJsonValue>
#include <QStringList>

#include <string_view>
#include <vector>

namespace qv7::bridge {

// A payload that names no command; its text says what was wrong with it.
class PayloadError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

// What a command topic's payload asks for; each throws PayloadError. Words match in any case.
// power/set: ON or OFF.
Command powerRequest(const QByteArray &payload);
// input/set: one of the inputs' words.
Command inputRequest(const QByteArray &payload);
// command: a script as qv7ctl takes it: verbs with their arguments, held verbs with a count,
// raw codes; or a JSON object {"command": SCRIPT, "id": ANY}, whose id the replies carry.
struct CommandRequest {
    std::vector<Command> commands;
    QJsonValue id = QJsonValue::Undefined;
};
CommandRequest commandRequests(const QByteArray &payload);

} // namespace qv7::bridge
