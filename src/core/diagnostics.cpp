#include "core/diagnostics.h"

#include <cstdarg>
#include <cstdio>

namespace orb {

void printDiagnostic(DiagnosticStream stream, const char* format, ...) {
    std::FILE* to = stream == DiagnosticStream::Out ? stdout : stderr;
    std::va_list args;
    va_start(args, format);
    std::vfprintf(to, format, args);
    va_end(args);
    std::fflush(to);
}

}  // namespace orb
