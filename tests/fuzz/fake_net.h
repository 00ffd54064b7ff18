// In-memory stand-in for the library's socket layer, linked into the fuzz
// targets instead of the real one: what the library receives comes from the
// fuzz input, nothing leaves the process, and no call ever blocks. Together
// with the pause override (fake_sleep.cpp) a whole exchange with its retries
// runs in microseconds, so the code that reads network bytes is fuzzed as it
// runs in the library, not as a copy of it. Address text is handled by the
// real layer's own net_address.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/net.h"

namespace orbfuzz {

using Bytes = std::vector<std::uint8_t>;

// Called after every send / sendTo the library makes (outside the fake's lock),
// so a harness can queue the peer's answer.
using SendHook = std::function<void(orb::net::Socket s, const std::uint8_t* data, std::size_t n,
                                    const orb::net::Endpoint& to)>;
// Called on each TCP connect; returns 0 to accept or an error number.
using ConnectHook = std::function<int(orb::net::Socket s, const orb::net::Endpoint& to)>;
// Called when a socket is bound; may queue datagrams for it (passive listeners).
using BindHook = std::function<void(orb::net::Socket s, const orb::net::Endpoint& local)>;

void setSendHook(SendHook hook);
void setConnectHook(ConnectHook hook);
void setBindHook(BindHook hook);

// Queues one datagram for a UDP socket.
void queueDatagram(orb::net::Socket s, const Bytes& bytes, const orb::net::Endpoint& from);
// Queues stream bytes for a TCP socket; each recv returns at most `chunk`
// bytes of them (0: as many as fit).
void queueStream(orb::net::Socket s, const Bytes& bytes, std::size_t chunk = 0);
// The peer of a TCP socket closes: once its bytes are read, recv returns 0.
void closePeer(orb::net::Socket s);

// Addresses hostIPv4Addresses reports.
void setLocalAddresses(std::vector<std::string> addresses);

// Forgets every hook and socket (sockets the library still holds read as
// closed). Call between inputs.
void resetHooks();
// Sockets created and not yet closed, for leak checks.
std::size_t openSocketCount();

}  // namespace orbfuzz
