// Winsock: what differs from POSIX sockets.
#ifdef _WIN32
#include "platform/net_os.h"
// clang-format off
#include <mstcpip.h>
#include <windows.h>
// clang-format on

#include <atomic>

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace orb::net {

const Socket kInvalidSocket = static_cast<Socket>(INVALID_SOCKET);

namespace {

bool underWine() {
    static const bool wine = ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

std::atomic<int> gSharePorts{-1};  // -1: as the platform needs

bool sharePorts() {
    const int v = gSharePorts.load();
    return v < 0 ? underWine() : v != 0;
}

}  // namespace

namespace os {

int error() { return ::WSAGetLastError(); }

void prepareBind(Socket s) {
    if (sharePorts()) setReuseAddr(s);
}
void setError(int err) { ::WSASetLastError(err); }
bool connectPending(int err) { return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS; }

int waitConnected(Socket s, int timeoutMs) {
    fd_set wr, ex;
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(native(s), &wr);
    FD_SET(native(s), &ex);
    timeval tv{};
    if (timeoutMs > 0) {
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
    }
    const int n = ::select(0, nullptr, &wr, &ex, &tv);
    if (n == 0) return WSAETIMEDOUT;
    if (n == SOCKET_ERROR) return error() ? error() : -1;
    // A failed connection is reported in the exception set, normally with the
    // reason as the socket's pending error; make sure one is there.
    int err = 0;
    int len = sizeof err;
    if (FD_ISSET(native(s), &ex) &&
        (::getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0 || err == 0))
        return WSAECONNREFUSED;
    return 0;
}

}  // namespace os

namespace {

// Startups of this library that no cleanup has paired yet. Winsock counts
// startups per process, so a cleanup with none of ours left would end the
// socket use of the application (or of another library) instead.
std::atomic<int> gStartups{0};

// Winsock's report that an earlier datagram met a closed port; no datagram
// is consumed. Receives pass over at most this many in a row.
constexpr int kMaxResetReports = 64;
bool resetReport(int err) { return err == WSAECONNRESET || err == WSAENETRESET; }

bool setTimeout(Socket s, int opt, int ms) {
    const DWORD v = ms < 0 ? 0 : static_cast<DWORD>(ms);
    return os::setOption(s, SOL_SOCKET, opt, &v, sizeof v);
}

// One recvfrom that passes over reset reports. Returns the byte count, or -1
// with the error in err; a datagram larger than cap gives WSAEMSGSIZE after
// its first cap bytes were stored.
int receiveOne(Socket s, void* buf, std::size_t cap, Endpoint* from, int& err) {
    for (int i = 0; i <= kMaxResetReports; ++i) {
        sockaddr_in a{};
        int len = sizeof a;
        const int n = ::recvfrom(os::native(s), static_cast<char*>(buf), static_cast<int>(cap), 0,
                                 reinterpret_cast<sockaddr*>(&a), &len);
        err = n == SOCKET_ERROR ? ::WSAGetLastError() : 0;
        if (n != SOCKET_ERROR || err == WSAEMSGSIZE) {
            if (from) *from = os::fromSockaddr(a);
            return n;
        }
        if (!resetReport(err)) return -1;
    }
    return -1;
}

}  // namespace

bool startup() {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    gStartups.fetch_add(1);
    return true;
}

int cleanup() {
    int left = gStartups.load();
    do {
        if (left <= 0) {
            ::WSASetLastError(WSANOTINITIALISED);
            return SOCKET_ERROR;
        }
    } while (!gStartups.compare_exchange_weak(left, left - 1));
    return ::WSACleanup();
}

Socket udpSocket() {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s != INVALID_SOCKET) {
        // Otherwise an ICMP "port unreachable" for an earlier sendto makes a
        // later recvfrom fail with WSAECONNRESET, unlike POSIX. Receives pass
        // over such reports too, should this not take.
        BOOL report = FALSE;
        DWORD returned = 0;
        ::WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    }
    return static_cast<Socket>(s);
}

bool closeSocket(Socket s) {
    if (s == kInvalidSocket) return false;
    return ::closesocket(os::native(s)) == 0;
}

bool setNonBlocking(Socket s, bool nonBlocking) {
    u_long mode = nonBlocking ? 1 : 0;
    return ::ioctlsocket(os::native(s), FIONBIO, &mode) == 0;
}

bool setOwnAddrReuse(Socket s) {
    if (sharePorts()) return setReuseAddr(s);  // the two options exclude each other
    const BOOL on = TRUE;
    return os::setOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, &on, sizeof on);
}

bool sharePortsUnderWine(bool on) {
    if (!underWine()) return false;
    gSharePorts.store(on ? 1 : 0);
    return true;
}

bool setRecvTimeoutMs(Socket s, int ms) { return setTimeout(s, SO_RCVTIMEO, ms); }
bool setSendTimeoutMs(Socket s, int ms) { return setTimeout(s, SO_SNDTIMEO, ms); }

int recvFrom(Socket s, void* buf, std::size_t cap, Endpoint* from) {
    if (s == kInvalidSocket) return -1;
    int err = 0;
    const int n = receiveOne(s, buf, cap, from, err);
    // Winsock fails an oversized datagram after filling the buffer; POSIX
    // hands back the part that fit. Behave like POSIX.
    return err == WSAEMSGSIZE ? static_cast<int>(cap) : n;
}

int recvBatch(Socket s, std::uint8_t* const* bufs, std::size_t cap, int* lens, Endpoint* froms, int maxCount) {
    if (s == kInvalidSocket || maxCount <= 0) return -1;
    // No recvmmsg here: take what is already queued, one datagram at a time.
    int count = 0;
    while (count < maxCount && waitReadable(s, 0)) {
        int err = 0;
        int n = receiveOne(s, bufs[count], cap, &froms[count], err);
        if (err == WSAEMSGSIZE) {
            n = static_cast<int>(cap) + 1;  // oversized, as the POSIX batch reports it
        } else if (n < 0) {
            if (err == WSAEWOULDBLOCK || resetReport(err)) break;
            return count > 0 ? count : -1;
        }
        lens[count++] = n;
    }
    return count;
}

bool waitReadable(Socket s, int timeoutMs) {
    if (s == kInvalidSocket) return false;
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(os::native(s), &rd);
    timeval tv{};
    if (timeoutMs > 0) {
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
    }
    return ::select(0, &rd, nullptr, nullptr, &tv) > 0;
}

std::vector<std::string> hostIPv4Addresses() {
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
        os::addUnique(out, formatIPv4(reinterpret_cast<sockaddr_in*>(i->ai_addr)->sin_addr.s_addr));
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
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '.')) buf[--n] = '\0';
    if (n == 0) return "Socket error " + std::to_string(err);
    return std::string(buf, n);
}

}  // namespace orb::net
#endif  // _WIN32
