#include "imu_sender.h"

#include <chrono>
#include <cstring>

namespace orbsim {

namespace net = orb::net;

wire::Bytes encodeImuFrame(const ImuSample& s) {
    wire::Bytes b;
    b.reserve(58);
    b.insert(b.end(), {0x55, 0xAA, 0x5A, 0xA5});
    b.insert(b.end(), s.reserved, s.reserved + 4);
    wire::putU32LE(b, static_cast<std::uint32_t>(s.seconds));
    wire::putU16LE(b, static_cast<std::uint16_t>(s.seconds >> 32));
    wire::putU32LE(b, s.microseconds);
    for (std::uint32_t v : s.axisBits) wire::putU32BE(b, v);
    b.insert(b.end(), {0xAA, 0x55, 0xA5, 0x5A});
    return b;
}

ImuSample imuSampleFor(std::uint64_t index) {
    ImuSample s;
    s.seconds = 1000 + index / 1000;
    s.microseconds = static_cast<std::uint32_t>(index % 1000) * 1000;
    for (int k = 0; k < 9; ++k) {
        const float f = static_cast<float>(index) + static_cast<float>(k) / 4.0f;
        std::memcpy(&s.axisBits[k], &f, sizeof f);
    }
    s.reserved[0] = static_cast<std::uint8_t>(index);
    return s;
}

ImuSender::ImuSender(std::shared_ptr<SettingsStore> store, double rateHz)
    : store_(std::move(store)), rateHz_(rateHz), sock_(net::kInvalidSocket) {}

ImuSender::~ImuSender() { stop(); }

bool ImuSender::start(std::string* error) {
    if (running_.load()) return true;
    net::Socket s = net::udpSocket();
    if (s == net::kInvalidSocket || !net::bindTo(s, store_->deviceIp().c_str(), 0)) {
        if (s != net::kInvalidSocket) net::closeSocket(s);
        if (error) *error = "IMU sender socket: " + net::lastErrorText();
        return false;
    }
    {
        std::lock_guard<std::mutex> lk(sockMutex_);
        sock_ = s;
    }
    running_.store(true);
    thread_ = std::thread([this] { run(); });
    return true;
}

void ImuSender::stop() {
    running_.store(false);
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lk(sockMutex_);
    if (sock_ != net::kInvalidSocket) net::closeSocket(sock_);
    sock_ = net::kInvalidSocket;
}

bool ImuSender::sendRaw(const wire::Bytes& datagram) {
    const HandshakeInfo h = store_->handshake();
    if (!h.received || h.dataPort == 0xFFFF) return false;
    const net::Endpoint to = net::makeEndpoint(h.hostIp.c_str(), static_cast<std::uint16_t>(h.dataPort + 1));
    std::lock_guard<std::mutex> lk(sockMutex_);
    if (sock_ == net::kInvalidSocket) return false;
    if (net::sendTo(sock_, datagram.data(), datagram.size(), to) != static_cast<int>(datagram.size())) return false;
    sent_.fetch_add(1);
    store_->countSent(to.port);
    return true;
}

bool ImuSender::sendSample(const ImuSample& s) { return sendRaw(encodeImuFrame(s)); }

void ImuSender::run() {
    using clock = std::chrono::steady_clock;
    std::uint64_t index = 0;
    auto next = clock::now();
    while (running_.load()) {
        const double hz = rateHz_.load();
        if (hz <= 0.0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            next = clock::now();
            continue;
        }
        const auto period = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(1.0 / hz));
        if (clock::now() < next) {
            std::this_thread::sleep_for(std::min<clock::duration>(next - clock::now(), std::chrono::milliseconds(5)));
            continue;
        }
        if (sendSample(imuSampleFor(index))) ++index;
        next += period;
        if (clock::now() - next > std::chrono::milliseconds(100)) next = clock::now();  // do not burst after a stall
    }
}

}  // namespace orbsim
