#pragma once

#include <QString>

#include <stdexcept>

namespace qv7 {

// The one failure of the line. Its description is written for an operator: it names the port
// and its device, says what went wrong and, where it helps, what to do about it. A transport
// says only what went wrong; the serial control adds the port's name before it goes on.
class CommError : public std::runtime_error {
public:
    explicit CommError(const QString &description)
        : std::runtime_error(description.toStdString())
        , description_(description)
    {
    }

    const QString &description() const noexcept { return description_; }

private:
    QString description_;
};

} // namespace qv7
