// IPv4 address text and endpoints, without the OS: the text rules are the
// same on every platform (Winsock's inet_pton differs from Linux's in what it
// accepts), and the fuzz build's in-memory socket layer links this file too.
#include <cstdio>
#include <cstring>

#include "platform/net.h"

namespace orb::net {

bool parseIPv4(const char* text, std::uint32_t& addrNetOrder) {
    if (!text) return false;
    std::uint8_t bytes[4] = {};
    int field = 0;
    int digits = 0;
    unsigned value = 0;
    for (const char* p = text;; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            if (digits > 0 && value == 0) return false;  // leading zero
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 255) return false;
            ++digits;
        } else if ((c == '.' || c == '\0') && digits > 0 && field < 4) {
            bytes[field++] = static_cast<std::uint8_t>(value);
            value = 0;
            digits = 0;
            if (c == '\0') break;
        } else {
            return false;
        }
    }
    if (field != 4) return false;
    // Network order: the first field is the first byte in memory.
    std::memcpy(&addrNetOrder, bytes, sizeof bytes);
    return true;
}

std::string formatIPv4(std::uint32_t addrNetOrder) {
    std::uint8_t b[4];
    std::memcpy(b, &addrNetOrder, sizeof b);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
}

Endpoint makeEndpoint(const char* ip, std::uint16_t port) {
    Endpoint e;
    e.port = port;
    if (!parseIPv4(ip, e.addr)) e.addr = 0;
    return e;
}

bool bindTo(Socket s, const char* ip, std::uint16_t port) {
    Endpoint e;
    e.port = port;
    if (!parseIPv4(ip, e.addr)) return false;
    return bindTo(s, e);
}

}  // namespace orb::net
