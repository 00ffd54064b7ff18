// Thin IPv4 socket layer: the only place that includes the OS socket headers.
// net_address.cpp handles address text without the OS, net_socket.cpp holds
// the calls POSIX sockets and Winsock share, and net_posix.cpp / net_win32.cpp
// only what differs. Addresses are kept in network byte order (as on the
// wire), ports in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orb::net {

#ifdef _WIN32
using Socket = std::uintptr_t;
#else
using Socket = int;
#endif
extern const Socket kInvalidSocket;

struct Endpoint {
    std::uint32_t addr = 0;  // IPv4, network byte order
    std::uint16_t port = 0;  // host byte order
};

// Socket interface start-up / clean-up (WSAStartup / WSACleanup; no-ops on
// POSIX). Each successful startup() is paired with one cleanup(); a cleanup()
// without a startup() left to pair with fails without touching Winsock, so it
// can never end the socket use of the application around the library.
bool startup();
int cleanup();

Socket udpSocket();
Socket tcpSocket();
// Returns false when the socket is invalid or closing fails.
bool closeSocket(Socket s);

bool setNonBlocking(Socket s, bool nonBlocking);
bool setRecvBuffer(Socket s, int bytes);
// The receive buffer the system granted, as it reports it (Linux counts its
// bookkeeping in, so twice what it allows for data); 0 when unknown.
int recvBufferSize(Socket s);
// Address reuse for a port several sockets share, as multicast listeners do
// (SO_REUSEADDR).
bool setReuseAddr(Socket s);
// Address reuse for a port this program alone receives on, so it can bind it
// again at once after a restart: SO_REUSEADDR on POSIX; SO_EXCLUSIVEADDRUSE on
// Windows, where SO_REUSEADDR would let any later socket take the port over.
bool setOwnAddrReuse(Socket s);
// Under Wine a UDP socket bound to an address other than 127.0.0.1 is bound
// to 0.0.0.0 on the host, so sockets on the same port at different addresses
// (a simulated camera's 127.0.0.2:50660 beside the library's 127.0.0.1:50660)
// collide unless all share the port (SO_REUSEADDR). There every bind shares
// its port unless this switched it off; elsewhere it does nothing and returns
// false.
bool sharePortsUnderWine(bool on);
bool setRecvTimeoutMs(Socket s, int ms);
bool setSendTimeoutMs(Socket s, int ms);
bool setBroadcast(Socket s);
// Multicast membership of group on the interface whose address is ifaceIp
// (null or empty: any interface).
bool joinMulticast(Socket s, const char* group, const char* ifaceIp);
bool leaveMulticast(Socket s, const char* group, const char* ifaceIp);
// Outgoing multicast interface and loopback of own multicast datagrams.
bool setMulticastInterface(Socket s, const char* ifaceIp);
bool setMulticastLoop(Socket s, bool on);
bool setMulticastTtl(Socket s, int ttl);

// Parses dotted IPv4 text as inet_pton does on Linux (four decimal fields of
// at most 255, no leading zeros), the same on every platform; false when it
// does not parse.
bool parseIPv4(const char* text, std::uint32_t& addrNetOrder);
std::string formatIPv4(std::uint32_t addrNetOrder);
Endpoint makeEndpoint(const char* ip, std::uint16_t port);  // addr 0 when ip does not parse

bool bindTo(Socket s, const Endpoint& local);
bool bindTo(Socket s, const char* ip, std::uint16_t port);
bool localEndpoint(Socket s, Endpoint& out);

// Datagrams. Return the byte count, or -1 on error / nothing waiting. A
// datagram larger than cap is cut to cap bytes. Winsock's report of an ICMP
// "port unreachable" for an earlier send (WSAECONNRESET) is no datagram and
// no failure: receives pass over it.
int sendTo(Socket s, const void* data, std::size_t len, const Endpoint& to);
int recvFrom(Socket s, void* buf, std::size_t cap, Endpoint* from);

// Receives, without blocking, up to maxCount datagrams already waiting
// (recvmmsg on Linux, a loop of recvfrom elsewhere). bufs[i] has room for cap
// bytes; lens[i] and froms[i] are filled, lens[i] = cap + 1 for a datagram
// that did not fit. Returns the number received, 0 when nothing is waiting,
// -1 on error.
int recvBatch(Socket s, std::uint8_t* const* bufs, std::size_t cap, int* lens, Endpoint* froms, int maxCount);

// Stream sockets. send never raises SIGPIPE.
int send(Socket s, const void* data, std::size_t len);
int recv(Socket s, void* buf, std::size_t cap);
// Non-blocking connect bounded by timeoutMs (select). Checks the socket's
// pending error, so a refused connection fails. Leaves the socket blocking.
// Returns 0 on success, else the socket error number (or -1).
int connectWithTimeout(Socket s, const Endpoint& to, int timeoutMs);
// Waits until the socket is readable; false on time-out or error.
bool waitReadable(Socket s, int timeoutMs);
// Listening stream sockets (the simulator's servers).
bool listenOn(Socket s, int backlog);
// Accepts one pending connection (blocking unless s is non-blocking);
// kInvalidSocket on error.
Socket acceptConnection(Socket s, Endpoint* peer);

// The host's own IPv4 addresses, as dotted text, each once. On Windows those
// its name resolves to (gethostname, then getaddrinfo for IPv4), which there
// are every adapter's; elsewhere the name usually resolves to a loopback
// address only, so those of every interface that is up, loopback left out
// (getifaddrs).
std::vector<std::string> hostIPv4Addresses();

// The system's error number and text for the last socket error of this thread.
int lastError();
std::string lastErrorText();

}  // namespace orb::net
