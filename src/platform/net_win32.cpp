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
#include <mstcpip.h>
#include <iphlpapi.h>
#include <windows.h>
// clang-format on

#include <cstring>
#include <vector>

#include "platform/net.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace orb::net {

const Socket kInvalidSocket = static_cast<Socket>(INVALID_SOCKET);

namespace {

SOCKET raw(Socket s) { return static_cast<SOCKET>(s); }

sockaddr_in toSockaddr(const Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = e.addr;
    a.sin_port = htons(e.port);
    return a;
}

Endpoint fromSockaddr(const sockaddr_in& a) {
    Endpoint e;
    e.addr = a.sin_addr.s_addr;
    e.port = ntohs(a.sin_port);
    return e;
}

bool setTimeout(Socket s, int opt, int ms) {
    DWORD v = ms < 0 ? 0 : static_cast<DWORD>(ms);
    return ::setsockopt(raw(s), SOL_SOCKET, opt, reinterpret_cast<const char*>(&v), sizeof v) == 0;
}

bool membership(Socket s, int opt, const char* group, const char* ifaceIp) {
    ip_mreq m{};
    if (!group || ::inet_pton(AF_INET, group, &m.imr_multiaddr) != 1) return false;
    m.imr_interface.s_addr = htonl(INADDR_ANY);
    if (ifaceIp && *ifaceIp && ::inet_pton(AF_INET, ifaceIp, &m.imr_interface) != 1) return false;
    return ::setsockopt(raw(s), IPPROTO_IP, opt, reinterpret_cast<const char*>(&m), sizeof m) == 0;
}

bool setDword(Socket s, int level, int opt, DWORD v) {
    return ::setsockopt(raw(s), level, opt, reinterpret_cast<const char*>(&v), sizeof v) == 0;
}

}  // namespace

bool startup() {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

int cleanup() { return ::WSACleanup(); }

Socket udpSocket() {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s != INVALID_SOCKET) {
        // Without this, an ICMP "port unreachable" for an earlier sendto makes
        // the next recvfrom fail with WSAECONNRESET, unlike POSIX.
        BOOL report = FALSE;
        DWORD returned = 0;
        ::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    }
    return static_cast<Socket>(s);
}

Socket tcpSocket() { return static_cast<Socket>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

bool closeSocket(Socket s) {
    if (s == kInvalidSocket) return false;
    return ::closesocket(raw(s)) == 0;
}

bool setNonBlocking(Socket s, bool nonBlocking) {
    u_long mode = nonBlocking ? 1 : 0;
    return ::ioctlsocket(raw(s), FIONBIO, &mode) == 0;
}

bool setRecvBuffer(Socket s, int bytes) {
    return ::setsockopt(raw(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

int recvBufferSize(Socket s) {
    int bytes = 0;
    int len = sizeof bytes;
    return ::getsockopt(raw(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&bytes), &len) == 0 ? bytes : 0;
}

bool setReuseAddr(Socket s) {
    BOOL on = TRUE;
    return ::setsockopt(raw(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool setRecvTimeoutMs(Socket s, int ms) { return setTimeout(s, SO_RCVTIMEO, ms); }
bool setSendTimeoutMs(Socket s, int ms) { return setTimeout(s, SO_SNDTIMEO, ms); }

bool setBroadcast(Socket s) {
    BOOL on = TRUE;
    return ::setsockopt(raw(s), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool joinMulticast(Socket s, const char* group, const char* ifaceIp) {
    return membership(s, IP_ADD_MEMBERSHIP, group, ifaceIp);
}

bool leaveMulticast(Socket s, const char* group, const char* ifaceIp) {
    return membership(s, IP_DROP_MEMBERSHIP, group, ifaceIp);
}

bool setMulticastInterface(Socket s, const char* ifaceIp) {
    in_addr a{};
    if (!ifaceIp || ::inet_pton(AF_INET, ifaceIp, &a) != 1) return false;
    return ::setsockopt(raw(s), IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&a), sizeof a) == 0;
}

bool setMulticastLoop(Socket s, bool on) { return setDword(s, IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0); }

bool setMulticastTtl(Socket s, int ttl) { return setDword(s, IPPROTO_IP, IP_MULTICAST_TTL, static_cast<DWORD>(ttl)); }

bool parseIPv4(const char* text, std::uint32_t& addrNetOrder) {
    if (!text) return false;
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) != 1) return false;
    addrNetOrder = a.s_addr;
    return true;
}

std::string formatIPv4(std::uint32_t addrNetOrder) {
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addrNetOrder;
    if (!::inet_ntop(AF_INET, &a, buf, sizeof buf)) return std::string();
    return buf;
}

Endpoint makeEndpoint(const char* ip, std::uint16_t port) {
    Endpoint e;
    e.port = port;
    if (!parseIPv4(ip, e.addr)) e.addr = 0;
    return e;
}

bool bindTo(Socket s, const Endpoint& local) {
    sockaddr_in a = toSockaddr(local);
    return ::bind(raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool bindTo(Socket s, const char* ip, std::uint16_t port) {
    Endpoint e;
    e.port = port;
    if (!parseIPv4(ip, e.addr)) return false;
    return bindTo(s, e);
}

bool localEndpoint(Socket s, Endpoint& out) {
    sockaddr_in a{};
    int len = sizeof a;
    if (::getsockname(raw(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return false;
    out = fromSockaddr(a);
    return true;
}

int sendTo(Socket s, const void* data, std::size_t len, const Endpoint& to) {
    if (s == kInvalidSocket) return -1;
    sockaddr_in a = toSockaddr(to);
    int n = ::sendto(raw(s), static_cast<const char*>(data), static_cast<int>(len), 0,
                     reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n == SOCKET_ERROR ? -1 : n;
}

int recvFrom(Socket s, void* buf, std::size_t cap, Endpoint* from) {
    if (s == kInvalidSocket) return -1;
    sockaddr_in a{};
    int len = sizeof a;
    int n = ::recvfrom(raw(s), static_cast<char*>(buf), static_cast<int>(cap), 0, reinterpret_cast<sockaddr*>(&a), &len);
    if (n == SOCKET_ERROR) {
        // Winsock fails an oversized datagram after filling the buffer; POSIX
        // hands back the truncated part. Behave like POSIX.
        if (::WSAGetLastError() != WSAEMSGSIZE) return -1;
        n = static_cast<int>(cap);
    }
    if (from) *from = fromSockaddr(a);
    return n;
}

int recvBatch(Socket s, std::uint8_t* const* bufs, std::size_t cap, int* lens, Endpoint* froms, int maxCount) {
    if (s == kInvalidSocket || maxCount <= 0) return -1;
    // No recvmmsg here: take what is already queued, one datagram at a time,
    // without blocking.
    int count = 0;
    while (count < maxCount && waitReadable(s, 0)) {
        sockaddr_in a{};
        int len = sizeof a;
        int n = ::recvfrom(raw(s), reinterpret_cast<char*>(bufs[count]), static_cast<int>(cap), 0,
                           reinterpret_cast<sockaddr*>(&a), &len);
        if (n == SOCKET_ERROR) {
            const int err = ::WSAGetLastError();
            if (err == WSAEMSGSIZE) {
                n = static_cast<int>(cap) + 1;  // report it oversized, as the POSIX batch does
            } else if (err == WSAEWOULDBLOCK) {
                break;
            } else if (err == WSAECONNRESET) {
                continue;
            } else {
                return count > 0 ? count : -1;
            }
        }
        lens[count] = n;
        froms[count] = fromSockaddr(a);
        ++count;
    }
    return count;
}

int send(Socket s, const void* data, std::size_t len) {
    if (s == kInvalidSocket) return -1;
    int n = ::send(raw(s), static_cast<const char*>(data), static_cast<int>(len), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int recv(Socket s, void* buf, std::size_t cap) {
    if (s == kInvalidSocket) return -1;
    int n = ::recv(raw(s), static_cast<char*>(buf), static_cast<int>(cap), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int connectWithTimeout(Socket s, const Endpoint& to, int timeoutMs) {
    if (s == kInvalidSocket) return -1;
    if (!setNonBlocking(s, true)) return ::WSAGetLastError() ? ::WSAGetLastError() : -1;
    sockaddr_in a = toSockaddr(to);
    int rc = ::connect(raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (rc == SOCKET_ERROR) {
        const int e = ::WSAGetLastError();
        if (e != WSAEWOULDBLOCK) return e ? e : -1;
        fd_set wr, ex;
        FD_ZERO(&wr);
        FD_ZERO(&ex);
        FD_SET(raw(s), &wr);
        FD_SET(raw(s), &ex);
        timeval tv{};
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        int n = ::select(0, nullptr, &wr, &ex, &tv);
        if (n == 0) return WSAETIMEDOUT;
        if (n == SOCKET_ERROR) return ::WSAGetLastError() ? ::WSAGetLastError() : -1;
        // A refused connection is reported in the exception set.
        int err = 0;
        int len = sizeof err;
        if (::getsockopt(raw(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
            return ::WSAGetLastError() ? ::WSAGetLastError() : -1;
        if (err == 0 && FD_ISSET(raw(s), &ex)) err = WSAECONNREFUSED;
        if (err != 0) {
            ::WSASetLastError(err);
            return err;
        }
    }
    if (!setNonBlocking(s, false)) return ::WSAGetLastError() ? ::WSAGetLastError() : -1;
    return 0;
}

bool waitReadable(Socket s, int timeoutMs) {
    if (s == kInvalidSocket) return false;
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(raw(s), &rd);
    timeval tv{};
    if (timeoutMs > 0) {
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
    }
    return ::select(0, &rd, nullptr, nullptr, &tv) > 0;
}

bool listenOn(Socket s, int backlog) { return s != kInvalidSocket && ::listen(raw(s), backlog) == 0; }

Socket acceptConnection(Socket s, Endpoint* peer) {
    if (s == kInvalidSocket) return kInvalidSocket;
    sockaddr_in a{};
    int len = sizeof a;
    SOCKET c = ::accept(raw(s), reinterpret_cast<sockaddr*>(&a), &len);
    if (c == INVALID_SOCKET) return kInvalidSocket;
    if (peer) *peer = fromSockaddr(a);
    return static_cast<Socket>(c);
}

std::vector<std::string> localIPv4Addresses(bool includeLoopback) {
    std::vector<std::string> out;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> storage;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    for (int tries = 0; tries < 3 && rc == ERROR_BUFFER_OVERFLOW; ++tries) {
        storage.assign(size, 0);
        rc = ::GetAdaptersAddresses(AF_INET, flags, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()), &size);
    }
    if (rc != NO_ERROR) return out;
    for (auto* ad = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()); ad; ad = ad->Next) {
        if (ad->OperStatus != IfOperStatusUp) continue;
        if (!includeLoopback && ad->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (auto* u = ad->FirstUnicastAddress; u; u = u->Next) {
            const sockaddr* sa = u->Address.lpSockaddr;
            if (!sa || sa->sa_family != AF_INET) continue;
            std::string text = formatIPv4(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr);
            bool seen = false;
            for (const auto& t : out) seen = seen || t == text;
            if (!seen && !text.empty()) out.push_back(text);
        }
    }
    return out;
}

std::vector<std::string> hostNameIPv4Addresses() {
    std::vector<std::string> out;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return out;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &list) != 0) return out;
    for (addrinfo* i = list; i; i = i->ai_next) {
        if (!i->ai_addr || i->ai_family != AF_INET) continue;
        std::string text = formatIPv4(reinterpret_cast<sockaddr_in*>(i->ai_addr)->sin_addr.s_addr);
        bool seen = false;
        for (const auto& t : out) seen = seen || t == text;
        if (!seen && !text.empty()) out.push_back(text);
    }
    ::freeaddrinfo(list);
    return out;
}

int lastError() { return ::WSAGetLastError(); }

std::string lastErrorText() {
    const int err = ::WSAGetLastError();
    char buf[512] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(err), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf,
                               sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ')) buf[--n] = '\0';
    if (n == 0) return "Socket error " + std::to_string(err);
    return std::string(buf, n);
}

}  // namespace orb::net
#endif  // _WIN32
