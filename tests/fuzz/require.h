#pragma once

// A property every input must keep; a broken one stops the fuzzer with the input that broke it.
inline void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}
