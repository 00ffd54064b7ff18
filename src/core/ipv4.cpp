#include "core/ipv4.h"

#include <cstddef>

namespace orb {

bool isValidIPv4(const char* text) {
    if (!text) return false;
    std::size_t len = 0;
    while (len < 16 && text[len] != '\0') ++len;
    if (len < 7 || len > 15) return false;

    int dots = 0;
    for (std::size_t i = 0; i < len; ++i) dots += text[i] == '.';
    if (dots != 3) return false;

    int fields = 0;
    std::size_t start = 0;
    while (start <= len) {
        std::size_t end = start;
        while (end < len && text[end] != '.') ++end;
        const std::size_t width = end - start;
        if (width == 0 || width > 3) return false;
        if (width > 1 && text[start] == '0') return false;
        int value = 0;
        for (std::size_t i = start; i < end; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            value = value * 10 + (text[i] - '0');
        }
        if (value > 255) return false;
        ++fields;
        start = end + 1;
    }
    return fields == 4;
}

}  // namespace orb
