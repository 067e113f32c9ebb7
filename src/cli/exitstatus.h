#pragma once

// The exit statuses of the BSD sysexits.h, which scripts and service managers know by number.
// Windows has no such header; the programs exit with the same numbers there.
#if __has_include(<sysexits.h>)
#include <sysexits.h>
#else
#define EX_OK 0
#define EX_USAGE 64
#define EX_DATAERR 65
#define EX_UNAVAILABLE 69
#define EX_OSERR 71
#define EX_IOERR 74
#define EX_TEMPFAIL 75
#define EX_NOPERM 77
#endif
