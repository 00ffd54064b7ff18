// POSIX sockets: what differs from Winsock.
#ifndef _WIN32
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // recvmmsg
#endif
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "platform/net_os.h"

namespace orb::net {

const Socket kInvalidSocket = -1;

namespace os {

int error() { return errno; }
void setError(int err) { errno = err; }
bool connectPending(int err) { return err == EINPROGRESS; }
void prepareBind(Socket) {}

namespace {

// poll, not select: a descriptor above FD_SETSIZE must not overflow an fd_set.
int pollFor(Socket s, short events, int timeoutMs, short& revents) {
    pollfd p{};
    p.fd = s;
    p.events = events;
    int n;
    do {
        n = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    } while (n < 0 && errno == EINTR);
    revents = p.revents;
    return n;
}

}  // namespace

int waitConnected(Socket s, int timeoutMs) {
    short revents = 0;
    const int n = pollFor(s, POLLOUT, timeoutMs, revents);
    if (n > 0) return 0;
    return n == 0 ? ETIMEDOUT : (errno ? errno : -1);
}

}  // namespace os

namespace {

bool setTimeout(Socket s, int opt, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return os::setOption(s, SOL_SOCKET, opt, &tv, sizeof tv);
}

}  // namespace

bool startup() { return true; }
int cleanup() { return 0; }

Socket udpSocket() { return ::socket(AF_INET, SOCK_DGRAM, 0); }

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

// Here no other program can take a port over without setting SO_REUSEADDR
// itself, and this one needs it to share a port with a wildcard bind.
bool setOwnAddrReuse(Socket s) { return setReuseAddr(s); }

bool sharePortsUnderWine(bool) { return false; }

bool setRecvTimeoutMs(Socket s, int ms) { return setTimeout(s, SO_RCVTIMEO, ms); }
bool setSendTimeoutMs(Socket s, int ms) { return setTimeout(s, SO_SNDTIMEO, ms); }

int recvFrom(Socket s, void* buf, std::size_t cap, Endpoint* from) {
    if (s == kInvalidSocket) return -1;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t n = ::recvfrom(s, buf, cap, 0, reinterpret_cast<sockaddr*>(&a), &len);
    if (n < 0) return -1;
    if (from) *from = os::fromSockaddr(a);
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
        froms[i] = os::fromSockaddr(addrs[i]);
    }
    return n;
}

bool waitReadable(Socket s, int timeoutMs) {
    if (s == kInvalidSocket) return false;
    short revents = 0;
    return os::pollFor(s, POLLIN, timeoutMs, revents) > 0 && (revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

std::vector<std::string> hostIPv4Addresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        os::addUnique(out, formatIPv4(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr));
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
