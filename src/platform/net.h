// Thin IPv4 socket layer: the only place that includes the OS socket headers.
// POSIX here, Winsock behind _WIN32. Addresses are kept in network byte order
// (as on the wire), ports in host byte order.
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
// POSIX, where start-up also makes sure no send can raise SIGPIPE).
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
bool setReuseAddr(Socket s);
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

// Parses dotted IPv4 text (inet_pton semantics); false when it does not parse.
bool parseIPv4(const char* text, std::uint32_t& addrNetOrder);
std::string formatIPv4(std::uint32_t addrNetOrder);
Endpoint makeEndpoint(const char* ip, std::uint16_t port);  // addr 0 when ip does not parse

bool bindTo(Socket s, const Endpoint& local);
bool bindTo(Socket s, const char* ip, std::uint16_t port);
bool localEndpoint(Socket s, Endpoint& out);

// Datagrams. Return the byte count, or -1 on error / nothing waiting.
int sendTo(Socket s, const void* data, std::size_t len, const Endpoint& to);
int recvFrom(Socket s, void* buf, std::size_t cap, Endpoint* from);

// Receives up to maxCount datagrams in one call where the platform offers it
// (recvmmsg), else one. bufs[i] has room for cap bytes; lens[i] and froms[i]
// are filled. Returns the number received, 0 when nothing is waiting, -1 on error.
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

// IPv4 addresses of the host's interfaces that are up, as dotted text.
std::vector<std::string> localIPv4Addresses(bool includeLoopback);
// IPv4 addresses the host's own name resolves to (on Windows: every adapter's).
std::vector<std::string> hostNameIPv4Addresses();

// The system's error number and text for the last socket error of this thread.
int lastError();
std::string lastErrorText();

}  // namespace orb::net
