#include "fake_net.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace orbfuzz {
namespace {

struct Datagram {
    Bytes bytes;
    orb::net::Endpoint from;
};

struct FakeSocket {
    bool tcp = false;
    orb::net::Endpoint local;
    std::deque<Datagram> datagrams;  // UDP
    Bytes stream;                    // TCP bytes not yet read
    std::size_t streamPos = 0;
    std::size_t chunk = 0;
    bool peerClosed = false;
};

struct State {
    std::mutex mutex;
    std::map<int, FakeSocket> sockets;
    int next = 100;
    SendHook sendHook;
    ConnectHook connectHook;
    BindHook bindHook;
    std::vector<std::string> addresses{"127.0.0.1"};
};

State& state() {
    static State s;
    return s;
}

FakeSocket* find(State& st, orb::net::Socket s) {
    auto it = st.sockets.find(s);
    return it == st.sockets.end() ? nullptr : &it->second;
}

orb::net::Socket create(bool tcp) {
    State& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    const int id = st.next++;
    st.sockets[id].tcp = tcp;
    return id;
}

bool exists(orb::net::Socket s) {
    State& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    return find(st, s) != nullptr;
}

}  // namespace

void setSendHook(SendHook hook) {
    std::lock_guard<std::mutex> lk(state().mutex);
    state().sendHook = std::move(hook);
}
void setConnectHook(ConnectHook hook) {
    std::lock_guard<std::mutex> lk(state().mutex);
    state().connectHook = std::move(hook);
}
void setBindHook(BindHook hook) {
    std::lock_guard<std::mutex> lk(state().mutex);
    state().bindHook = std::move(hook);
}

void queueDatagram(orb::net::Socket s, const Bytes& bytes, const orb::net::Endpoint& from) {
    State& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    if (FakeSocket* f = find(st, s)) f->datagrams.push_back({bytes, from});
}

void queueStream(orb::net::Socket s, const Bytes& bytes, std::size_t chunk) {
    State& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    if (FakeSocket* f = find(st, s)) {
        f->stream.erase(f->stream.begin(), f->stream.begin() + static_cast<std::ptrdiff_t>(f->streamPos));
        f->streamPos = 0;
        f->stream.insert(f->stream.end(), bytes.begin(), bytes.end());
        f->chunk = chunk;
    }
}

void closePeer(orb::net::Socket s) {
    State& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    if (FakeSocket* f = find(st, s)) f->peerClosed = true;
}

void setLocalAddresses(std::vector<std::string> addresses) {
    std::lock_guard<std::mutex> lk(state().mutex);
    state().addresses = std::move(addresses);
}

void resetHooks() {
    State& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    st.sendHook = nullptr;
    st.connectHook = nullptr;
    st.bindHook = nullptr;
}

std::size_t openSocketCount() {
    std::lock_guard<std::mutex> lk(state().mutex);
    return state().sockets.size();
}

}  // namespace orbfuzz

namespace orb::net {

using orbfuzz::state;

const Socket kInvalidSocket = -1;

bool startup() { return true; }
int cleanup() { return 0; }

Socket udpSocket() { return orbfuzz::create(false); }
Socket tcpSocket() { return orbfuzz::create(true); }

bool closeSocket(Socket s) {
    auto& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    return st.sockets.erase(s) == 1;
}

bool setNonBlocking(Socket s, bool) { return orbfuzz::exists(s); }
bool setRecvBuffer(Socket s, int) { return orbfuzz::exists(s); }
int recvBufferSize(Socket) { return 0; }  // unknown, as on a system that does not say
bool setReuseAddr(Socket s) { return orbfuzz::exists(s); }
bool setOwnAddrReuse(Socket s) { return orbfuzz::exists(s); }
bool sharePortsUnderWine(bool) { return false; }
bool setRecvTimeoutMs(Socket s, int) { return orbfuzz::exists(s); }
bool setSendTimeoutMs(Socket s, int) { return orbfuzz::exists(s); }
bool setBroadcast(Socket s) { return orbfuzz::exists(s); }
bool joinMulticast(Socket s, const char*, const char*) { return orbfuzz::exists(s); }
bool leaveMulticast(Socket s, const char*, const char*) { return orbfuzz::exists(s); }
bool setMulticastInterface(Socket s, const char*) { return orbfuzz::exists(s); }
bool setMulticastLoop(Socket s, bool) { return orbfuzz::exists(s); }
bool setMulticastTtl(Socket s, int) { return orbfuzz::exists(s); }

bool bindTo(Socket s, const Endpoint& local) {
    orbfuzz::BindHook hook;
    {
        auto& st = state();
        std::lock_guard<std::mutex> lk(st.mutex);
        orbfuzz::FakeSocket* f = orbfuzz::find(st, s);
        if (!f) return false;
        f->local = local;
        hook = st.bindHook;
    }
    if (hook) hook(s, local);
    return true;
}

bool localEndpoint(Socket s, Endpoint& out) {
    auto& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    orbfuzz::FakeSocket* f = orbfuzz::find(st, s);
    if (!f) return false;
    out = f->local;
    return true;
}

int sendTo(Socket s, const void* data, std::size_t len, const Endpoint& to) {
    orbfuzz::SendHook hook;
    {
        auto& st = state();
        std::lock_guard<std::mutex> lk(st.mutex);
        if (!orbfuzz::find(st, s) || len > 65507) return -1;
        hook = st.sendHook;
    }
    if (hook) hook(s, static_cast<const std::uint8_t*>(data), len, to);
    return static_cast<int>(len);
}

// An empty UDP socket reports an error instead of waiting: loops that wait
// for a real-time deadline then end at once.
int recvFrom(Socket s, void* buf, std::size_t cap, Endpoint* from) {
    auto& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    orbfuzz::FakeSocket* f = orbfuzz::find(st, s);
    if (!f || f->tcp || f->datagrams.empty()) return -1;
    orbfuzz::Datagram d = std::move(f->datagrams.front());
    f->datagrams.pop_front();
    const std::size_t n = std::min(cap, d.bytes.size());  // the rest of a datagram is lost, as on a socket
    if (n) std::memcpy(buf, d.bytes.data(), n);
    if (from) *from = d.from;
    return static_cast<int>(n);
}

int recvBatch(Socket s, std::uint8_t* const* bufs, std::size_t cap, int* lens, Endpoint* froms, int maxCount) {
    int got = 0;
    while (got < maxCount) {
        const int n = recvFrom(s, bufs[got], cap, &froms[got]);
        if (n < 0) break;
        lens[got++] = n;
    }
    return got;
}

int send(Socket s, const void* data, std::size_t len) {
    orbfuzz::SendHook hook;
    {
        auto& st = state();
        std::lock_guard<std::mutex> lk(st.mutex);
        orbfuzz::FakeSocket* f = orbfuzz::find(st, s);
        if (!f || !f->tcp || f->peerClosed) return -1;
        hook = st.sendHook;
    }
    if (hook) hook(s, static_cast<const std::uint8_t*>(data), len, Endpoint{});
    return static_cast<int>(len);
}

int recv(Socket s, void* buf, std::size_t cap) {
    auto& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    orbfuzz::FakeSocket* f = orbfuzz::find(st, s);
    if (!f || !f->tcp) return -1;
    const std::size_t left = f->stream.size() - f->streamPos;
    if (left == 0) return f->peerClosed ? 0 : -1;
    std::size_t n = std::min(cap, left);
    if (f->chunk) n = std::min(n, f->chunk);
    std::memcpy(buf, f->stream.data() + f->streamPos, n);
    f->streamPos += n;
    return static_cast<int>(n);
}

int connectWithTimeout(Socket s, const Endpoint& to, int) {
    orbfuzz::ConnectHook hook;
    {
        auto& st = state();
        std::lock_guard<std::mutex> lk(st.mutex);
        orbfuzz::FakeSocket* f = orbfuzz::find(st, s);
        if (!f || !f->tcp) return -1;
        hook = st.connectHook;
    }
    return hook ? hook(s, to) : 111;  // nobody listens: refused
}

bool waitReadable(Socket s, int) {
    auto& st = state();
    std::lock_guard<std::mutex> lk(st.mutex);
    orbfuzz::FakeSocket* f = orbfuzz::find(st, s);
    if (!f) return false;  // select fails on a closed or invalid descriptor
    if (!f->tcp) return true;
    return f->streamPos < f->stream.size() || f->peerClosed;
}

bool listenOn(Socket, int) { return false; }
Socket acceptConnection(Socket, Endpoint*) { return kInvalidSocket; }

std::vector<std::string> hostIPv4Addresses() {
    std::lock_guard<std::mutex> lk(state().mutex);
    return state().addresses;
}

int lastError() { return 0; }
std::string lastErrorText() { return "fake socket"; }

}  // namespace orb::net
