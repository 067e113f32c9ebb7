#pragma once

#include <QString>

#include <stdexcept>

namespace qv7 {

// A failure whose text is written for the person who must act on it: what was wrong, and
// where (the file and line, the option, the port).
class DescribedError : public std::runtime_error {
public:
    explicit DescribedError(const QString &description)
        : std::runtime_error(description.toStdString())
        , description_(description)
    {
    }

    const QString &description() const noexcept { return description_; }

private:
    QString description_;
};

} // namespace qv7
