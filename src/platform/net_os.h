// The OS socket headers and the few names in which POSIX sockets and Winsock
// differ, for the socket layer's own files only.
#pragma once

#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // inet_pton / inet_ntop, GetAdaptersAddresses
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <string>
#include <vector>

#include "platform/net.h"

namespace orb::net::os {

#ifdef _WIN32
using Native = SOCKET;
using AddrLen = int;  // Winsock's socklen_t
using IoLen = int;    // Winsock's size_t for buffer lengths
constexpr int kSendFlags = 0;
#else
using Native = int;
using AddrLen = socklen_t;
using IoLen = std::size_t;
// A peer that closed its end never raises SIGPIPE, so the library leaves the
// process's signal settings alone.
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

inline Native native(Socket s) { return static_cast<Native>(s); }

inline sockaddr_in toSockaddr(const Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = e.addr;
    a.sin_port = htons(e.port);
    return a;
}

inline Endpoint fromSockaddr(const sockaddr_in& a) {
    Endpoint e;
    e.addr = a.sin_addr.s_addr;
    e.port = ntohs(a.sin_port);
    return e;
}

inline bool setOption(Socket s, int level, int opt, const void* value, std::size_t len) {
    return ::setsockopt(native(s), level, opt, static_cast<const char*>(value), static_cast<AddrLen>(len)) == 0;
}

// Appends text unless it is empty or already listed.
inline void addUnique(std::vector<std::string>& list, const std::string& text) {
    if (text.empty()) return;
    for (const auto& t : list)
        if (t == text) return;
    list.push_back(text);
}

// Per OS: the error number of the last failed socket call of this thread (and
// setting it), what a socket needs before it is bound, whether a non-blocking connect that failed with it is still
// under way, and the wait for it to finish (0 when connected or failed with
// the socket's pending error set, else the error number).
int error();
void setError(int err);
void prepareBind(Socket s);  // just before every bind
bool connectPending(int err);
int waitConnected(Socket s, int timeoutMs);

}  // namespace orb::net::os
