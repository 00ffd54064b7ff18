// The one way the library prints: every diagnostic line goes through
// printDiagnostic, so where messages go (and how they are flushed) is decided
// here once. There is no log file and no level; the texts are fixed at the
// call sites because applications may match them.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ORB_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ORB_PRINTF_LIKE(fmt, args)
#endif

namespace orb {

enum class DiagnosticStream { Out, Err };

// printf-style; the format carries its own newline. Standard output is
// flushed after each message, so a message is never held back behind a
// later one on standard error.
void printDiagnostic(DiagnosticStream stream, const char* format, ...) ORB_PRINTF_LIKE(2, 3);

}  // namespace orb
