#pragma once

#include <QString>

#include <stdexcept>

namespace qv7 {

// The one failure of the serial control. Its description is written for an operator: it names
// the port and its device, says what went wrong and, where it helps, what to do about it.
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
