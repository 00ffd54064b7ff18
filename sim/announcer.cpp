#include "announcer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "control_server.h"  // crc8
#include "wire_sim.h"

namespace orbsim {

namespace net = orb::net;
using wire::Bytes;

namespace {

constexpr std::uint8_t kType = 9;
constexpr std::size_t kKeySize = 8;

void putEntry(Bytes& b, const char* key, const Bytes& value) {
    b.insert(b.end(), {0, 0, 0});
    b.push_back(static_cast<std::uint8_t>(value.size()));
    const std::size_t len = std::min(std::strlen(key), kKeySize);
    b.insert(b.end(), key, key + len);
    b.insert(b.end(), kKeySize - len, 0);  // NUL padding
    b.insert(b.end(), value.begin(), value.end());
}

Bytes textValue(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes portValue(std::uint16_t port) {
    Bytes v;
    wire::putU16LE(v, port);
    return v;
}

}  // namespace

Announcer::Announcer(std::shared_ptr<SettingsStore> store, AnnouncerOptions options)
    : store_(std::move(store)), options_(std::move(options)) {}

Announcer::~Announcer() { stop(); }

Bytes Announcer::encode(const NetSettings& n) {
    Bytes b = {0x5A, 0xA5, 0x01, kType, 0x00, 0x00, 0x00, 0x00};
    Bytes body = {0x00, 4};
    putEntry(body, "module", textValue(n.lidarIp));
    putEntry(body, "server", textValue(n.hostIp));
    putEntry(body, "port", portValue(n.hostPort));
    putEntry(body, "lport", portValue(n.lidarPort));
    b[6] = crc8(b.data(), 6);
    b[7] = crc8(body.data(), body.size());
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

bool Announcer::start(std::string* error) {
    if (thread_.joinable()) return true;
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + net::lastErrorText();
        if (sock_ != net::kInvalidSocket) net::closeSocket(sock_);
        sock_ = net::kInvalidSocket;
        return false;
    };
    sock_ = net::udpSocket();
    if (sock_ == net::kInvalidSocket) return fail("socket");
    if (!net::bindTo(sock_, options_.interfaceIp.c_str(), 0)) return fail("bind " + options_.interfaceIp);
    if (!net::setMulticastInterface(sock_, options_.interfaceIp.c_str())) return fail("IP_MULTICAST_IF");
    net::setMulticastTtl(sock_, 1);
    net::setMulticastLoop(sock_, true);
    {
        std::lock_guard<std::mutex> lk(mutex_);
        stopRequested_ = false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void Announcer::stop() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        stopRequested_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (sock_ != net::kInvalidSocket) net::closeSocket(sock_);
    sock_ = net::kInvalidSocket;
}

void Announcer::run() {
    const net::Endpoint group = net::makeEndpoint(kAnnouncementGroup, kAnnouncementPort);
    std::unique_lock<std::mutex> lk(mutex_);
    while (!stopRequested_) {
        const Bytes datagram = encode(store_->netSettings());
        if (net::sendTo(sock_, datagram.data(), datagram.size(), group) == static_cast<int>(datagram.size())) {
            sent_.fetch_add(1);
            store_->countSent(group.port);
        }
        cv_.wait_for(lk, std::chrono::milliseconds(options_.intervalMs), [this] { return stopRequested_; });
    }
}

}  // namespace orbsim
