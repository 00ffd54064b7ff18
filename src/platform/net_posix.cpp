#ifndef _WIN32
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // recvmmsg
#endif
#include "platform/net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace orb::net {

const Socket kInvalidSocket = -1;

namespace {

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
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return ::setsockopt(s, SOL_SOCKET, opt, &tv, sizeof tv) == 0;
}

bool membership(Socket s, int opt, const char* group, const char* ifaceIp) {
    ip_mreq m{};
    if (::inet_pton(AF_INET, group, &m.imr_multiaddr) != 1) return false;
    m.imr_interface.s_addr = htonl(INADDR_ANY);
    if (ifaceIp && *ifaceIp && ::inet_pton(AF_INET, ifaceIp, &m.imr_interface) != 1) return false;
    return ::setsockopt(s, IPPROTO_IP, opt, &m, sizeof m) == 0;
}

}  // namespace

bool startup() {
    // A peer that closes a TCP connection must not kill the process.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

int cleanup() { return 0; }

Socket udpSocket() { return ::socket(AF_INET, SOCK_DGRAM, 0); }
Socket tcpSocket() { return ::socket(AF_INET, SOCK_STREAM, 0); }

bool closeSocket(Socket s) {
    if (s == kInvalidSocket) return false;
    return ::close(s) == 0;
}

bool setNonBlocking(Socket s, bool nonBlocking) {
    int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s, F_SETFL, flags) == 0;
}

bool setRecvBuffer(Socket s, int bytes) {
    return ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

int recvBufferSize(Socket s) {
    int bytes = 0;
    socklen_t len = sizeof bytes;
    return ::getsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, &len) == 0 ? bytes : 0;
}

bool setReuseAddr(Socket s) {
    int on = 1;
    return ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool setRecvTimeoutMs(Socket s, int ms) { return setTimeout(s, SO_RCVTIMEO, ms); }
bool setSendTimeoutMs(Socket s, int ms) { return setTimeout(s, SO_SNDTIMEO, ms); }

bool setBroadcast(Socket s) {
    int on = 1;
    return ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
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
    return ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) == 0;
}

bool setMulticastLoop(Socket s, bool on) {
    unsigned char v = on ? 1 : 0;
    return ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &v, sizeof v) == 0;
}

bool setMulticastTtl(Socket s, int ttl) {
    unsigned char v = static_cast<unsigned char>(ttl);
    return ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &v, sizeof v) == 0;
}

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
    return ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool bindTo(Socket s, const char* ip, std::uint16_t port) {
    Endpoint e;
    e.port = port;
    if (!parseIPv4(ip, e.addr)) return false;
    return bindTo(s, e);
}

bool localEndpoint(Socket s, Endpoint& out) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return false;
    out = fromSockaddr(a);
    return true;
}

int sendTo(Socket s, const void* data, std::size_t len, const Endpoint& to) {
    if (s == kInvalidSocket) return -1;
    sockaddr_in a = toSockaddr(to);
    ssize_t n = ::sendto(s, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return n < 0 ? -1 : static_cast<int>(n);
}

int recvFrom(Socket s, void* buf, std::size_t cap, Endpoint* from) {
    if (s == kInvalidSocket) return -1;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t n = ::recvfrom(s, buf, cap, 0, reinterpret_cast<sockaddr*>(&a), &len);
    if (n < 0) return -1;
    if (from) *from = fromSockaddr(a);
    return static_cast<int>(n);
}

int recvBatch(Socket s, std::uint8_t* const* bufs, std::size_t cap, int* lens, Endpoint* froms, int maxCount) {
    if (s == kInvalidSocket || maxCount <= 0) return -1;
    constexpr int kMax = 64;
    if (maxCount > kMax) maxCount = kMax;
    mmsghdr msgs[kMax];
    iovec iovs[kMax];
    sockaddr_in addrs[kMax];
    std::memset(msgs, 0, sizeof(mmsghdr) * static_cast<std::size_t>(maxCount));
    for (int i = 0; i < maxCount; ++i) {
        iovs[i].iov_base = bufs[i];
        iovs[i].iov_len = cap;
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &addrs[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    int n = ::recvmmsg(s, msgs, static_cast<unsigned>(maxCount), MSG_DONTWAIT, nullptr);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    for (int i = 0; i < n; ++i) {
        // A datagram larger than the buffer is truncated by the kernel; report
        // its real length so callers can reject it like an oversized read.
        lens[i] = (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) ? static_cast<int>(cap) + 1
                                                           : static_cast<int>(msgs[i].msg_len);
        froms[i] = fromSockaddr(addrs[i]);
    }
    return n;
}

int send(Socket s, const void* data, std::size_t len) {
    if (s == kInvalidSocket) return -1;
    ssize_t n = ::send(s, data, len, MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<int>(n);
}

int recv(Socket s, void* buf, std::size_t cap) {
    if (s == kInvalidSocket) return -1;
    ssize_t n = ::recv(s, buf, cap, 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

int connectWithTimeout(Socket s, const Endpoint& to, int timeoutMs) {
    if (s == kInvalidSocket) return -1;
    if (!setNonBlocking(s, true)) return errno ? errno : -1;
    sockaddr_in a = toSockaddr(to);
    int rc = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (rc != 0 && errno != EINPROGRESS) {
        int e = errno;
        return e ? e : -1;
    }
    if (rc != 0) {
        // poll, not select: a descriptor above FD_SETSIZE must not overflow an fd_set.
        pollfd p{};
        p.fd = s;
        p.events = POLLOUT;
        int n;
        do {
            n = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return n == 0 ? ETIMEDOUT : (errno ? errno : -1);
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno ? errno : -1;
        if (err != 0) {
            errno = err;
            return err;
        }
    }
    if (!setNonBlocking(s, false)) return errno ? errno : -1;
    return 0;
}

bool waitReadable(Socket s, int timeoutMs) {
    if (s == kInvalidSocket) return false;
    pollfd p{};
    p.fd = s;
    p.events = POLLIN;
    int n;
    do {
        n = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    } while (n < 0 && errno == EINTR);
    return n > 0 && (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

bool listenOn(Socket s, int backlog) { return s != kInvalidSocket && ::listen(s, backlog) == 0; }

Socket acceptConnection(Socket s, Endpoint* peer) {
    if (s == kInvalidSocket) return kInvalidSocket;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    Socket c = ::accept(s, reinterpret_cast<sockaddr*>(&a), &len);
    if (c < 0) return kInvalidSocket;
    if (peer) *peer = fromSockaddr(a);
    return c;
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

std::vector<std::string> localIPv4Addresses(bool includeLoopback) {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP)) continue;
        if (!includeLoopback && (i->ifa_flags & IFF_LOOPBACK)) continue;
        auto* a = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
        std::string text = formatIPv4(a->sin_addr.s_addr);
        bool seen = false;
        for (const auto& t : out) seen = seen || t == text;
        if (!seen && !text.empty()) out.push_back(text);
    }
    ::freeifaddrs(list);
    return out;
}

int lastError() { return errno; }

std::string lastErrorText() {
    char buf[256] = {};
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = ::strerror_r(errno, buf, sizeof buf);
    return text ? std::string(text) : std::string(buf);
}

}  // namespace orb::net
#endif  // !_WIN32
