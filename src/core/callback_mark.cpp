#include "core/callback_mark.h"

#include <cstring>

namespace orb {

namespace {

// A fixed buffer keeps the mark free of allocation on the callback path.
thread_local bool tlActive = false;
thread_local CallbackKind tlKind = CallbackKind::Frame;
thread_local char tlIp[16] = {};

void copyIp(char (&to)[16], const char* from) {
    std::strncpy(to, from ? from : "", sizeof to - 1);
    to[sizeof to - 1] = '\0';
}

}  // namespace

CallbackMark::CallbackMark(const char* ip, CallbackKind kind) : previousKind_(tlKind), previousActive_(tlActive) {
    static_assert(sizeof previousIp_ == sizeof tlIp, "same capacity");
    std::memcpy(previousIp_, tlIp, sizeof tlIp);
    tlActive = true;
    tlKind = kind;
    copyIp(tlIp, ip);
}

CallbackMark::~CallbackMark() {
    tlActive = previousActive_;
    tlKind = previousKind_;
    std::memcpy(tlIp, previousIp_, sizeof tlIp);
}

bool inAnyCallback() { return tlActive; }

bool inOwnCallback(const char* ip) { return ip && tlActive && std::strcmp(tlIp, ip) == 0; }

bool inOwnCallback(const char* ip, CallbackKind kind) { return inOwnCallback(ip) && tlKind == kind; }

bool holdsOwnStreamMutex(const char* ip) {
    return inOwnCallback(ip, CallbackKind::Frame) || inOwnCallback(ip, CallbackKind::SixAxis);
}

}  // namespace orb
