#include "core/callback_guard.h"

#include <cstring>

#include "core/device.h"

namespace orb {

namespace {
// IPv4 text is at most 15 characters; a fixed buffer keeps the scope free of
// allocation on the callback path.
thread_local bool tlActive = false;
thread_local char tlIp[16] = {};

void copyIp(char (&dst)[16], const char* src) {
    std::strncpy(dst, src, sizeof dst - 1);
    dst[sizeof dst - 1] = '\0';
}
}  // namespace

CallbackScope::CallbackScope(const DeviceRecord* dev) : previousActive_(tlActive) {
    std::memcpy(previousIp_, tlIp, sizeof tlIp);
    tlActive = dev != nullptr;
    copyIp(tlIp, dev ? dev->ip.c_str() : "");
}

CallbackScope::~CallbackScope() {
    tlActive = previousActive_;
    std::memcpy(tlIp, previousIp_, sizeof tlIp);
}

bool inAnyCallback() { return tlActive; }

bool inOwnCallback(const char* ip) { return ip && tlActive && std::strcmp(tlIp, ip) == 0; }

}  // namespace orb
