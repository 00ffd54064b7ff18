// The socket calls POSIX sockets and Winsock share; net_posix.cpp and
// net_win32.cpp hold what differs.
#include "platform/net_os.h"

namespace orb::net {

namespace {

bool membership(Socket s, int opt, const char* group, const char* ifaceIp) {
    std::uint32_t groupAddr = 0;
    std::uint32_t ifaceAddr = htonl(INADDR_ANY);
    if (!parseIPv4(group, groupAddr)) return false;
    if (ifaceIp && *ifaceIp && !parseIPv4(ifaceIp, ifaceAddr)) return false;
    ip_mreq m{};
    m.imr_multiaddr.s_addr = groupAddr;
    m.imr_interface.s_addr = ifaceAddr;
    return os::setOption(s, IPPROTO_IP, opt, &m, sizeof m);
}

bool setIntOption(Socket s, int level, int opt, int value) { return os::setOption(s, level, opt, &value, sizeof value); }

}  // namespace

Socket tcpSocket() { return static_cast<Socket>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

bool setRecvBuffer(Socket s, int bytes) { return setIntOption(s, SOL_SOCKET, SO_RCVBUF, bytes); }
bool setReuseAddr(Socket s) { return setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1); }

int recvBufferSize(Socket s) {
    int bytes = 0;
    os::AddrLen len = sizeof bytes;
    return ::getsockopt(os::native(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&bytes), &len) == 0 ? bytes : 0;
}
bool setBroadcast(Socket s) { return setIntOption(s, SOL_SOCKET, SO_BROADCAST, 1); }

bool joinMulticast(Socket s, const char* group, const char* ifaceIp) {
    return membership(s, IP_ADD_MEMBERSHIP, group, ifaceIp);
}

bool leaveMulticast(Socket s, const char* group, const char* ifaceIp) {
    return membership(s, IP_DROP_MEMBERSHIP, group, ifaceIp);
}

bool setMulticastInterface(Socket s, const char* ifaceIp) {
    std::uint32_t addr = 0;
    if (!parseIPv4(ifaceIp, addr)) return false;
    in_addr a{};
    a.s_addr = addr;
    return os::setOption(s, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
}

// Both take an int (Winsock a DWORD, Linux an int or a byte).
bool setMulticastLoop(Socket s, bool on) { return setIntOption(s, IPPROTO_IP, IP_MULTICAST_LOOP, on ? 1 : 0); }
bool setMulticastTtl(Socket s, int ttl) { return setIntOption(s, IPPROTO_IP, IP_MULTICAST_TTL, ttl); }

bool bindTo(Socket s, const Endpoint& local) {
    os::prepareBind(s);
    const sockaddr_in a = os::toSockaddr(local);
    return ::bind(os::native(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool localEndpoint(Socket s, Endpoint& out) {
    sockaddr_in a{};
    os::AddrLen len = sizeof a;
    if (::getsockname(os::native(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return false;
    out = os::fromSockaddr(a);
    return true;
}

int sendTo(Socket s, const void* data, std::size_t len, const Endpoint& to) {
    if (s == kInvalidSocket) return -1;
    const sockaddr_in a = os::toSockaddr(to);
    const auto n = ::sendto(os::native(s), static_cast<const char*>(data), static_cast<os::IoLen>(len), os::kSendFlags,
                            reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return n < 0 ? -1 : static_cast<int>(n);
}

int send(Socket s, const void* data, std::size_t len) {
    if (s == kInvalidSocket) return -1;
    const auto n = ::send(os::native(s), static_cast<const char*>(data), static_cast<os::IoLen>(len), os::kSendFlags);
    return n < 0 ? -1 : static_cast<int>(n);
}

int recv(Socket s, void* buf, std::size_t cap) {
    if (s == kInvalidSocket) return -1;
    const auto n = ::recv(os::native(s), static_cast<char*>(buf), static_cast<os::IoLen>(cap), 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

int connectWithTimeout(Socket s, const Endpoint& to, int timeoutMs) {
    if (s == kInvalidSocket) return -1;
    const auto failure = [] {
        const int e = os::error();
        return e ? e : -1;
    };
    if (!setNonBlocking(s, true)) return failure();
    const sockaddr_in a = os::toSockaddr(to);
    if (::connect(os::native(s), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        const int e = os::error();
        if (!os::connectPending(e)) return e ? e : -1;
        if (const int waited = os::waitConnected(s, timeoutMs)) return waited;
        // The wait ends on success and on failure alike: the socket's pending
        // error tells them apart (a refused connection must fail).
        int err = 0;
        os::AddrLen len = sizeof err;
        if (::getsockopt(os::native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
            return failure();
        if (err != 0) {
            os::setError(err);  // for lastErrorText()
            return err;
        }
    }
    if (!setNonBlocking(s, false)) return failure();
    return 0;
}

bool listenOn(Socket s, int backlog) { return s != kInvalidSocket && ::listen(os::native(s), backlog) == 0; }

Socket acceptConnection(Socket s, Endpoint* peer) {
    if (s == kInvalidSocket) return kInvalidSocket;
    sockaddr_in a{};
    os::AddrLen len = sizeof a;
    const os::Native c = ::accept(os::native(s), reinterpret_cast<sockaddr*>(&a), &len);
    if (static_cast<Socket>(c) == kInvalidSocket) return kInvalidSocket;
    if (peer) *peer = os::fromSockaddr(a);
    return static_cast<Socket>(c);
}

}  // namespace orb::net
