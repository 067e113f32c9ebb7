#pragma once

#include "describederror.h"

namespace qv7 {

// The one failure of the line. Its description is written for an operator: it names the port
// and its device, says what went wrong and, where it helps, what to do about it. A transport
// says only what went wrong; the serial control adds the port's name before it goes on.
class CommError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

} // namespace qv7
