#include "control_server.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "wire_sim.h"

namespace orbsim {

namespace net = orb::net;
using wire::Bytes;

namespace {

constexpr int kPollMs = 20;  // bounds how long stop() waits
constexpr int kSplitPauseMs = 30;
constexpr std::size_t kSplitAt = 10;
constexpr std::size_t kNetSettingsSize = 44;

std::array<std::uint8_t, 256> makeCrcTable() {
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        std::uint8_t c = static_cast<std::uint8_t>(i);
        for (int b = 0; b < 8; ++b) c = static_cast<std::uint8_t>((c & 0x80) ? (c << 1) ^ 0x31 : c << 1);
        t[static_cast<std::size_t>(i)] = c;
    }
    return t;
}

void putAddress(Bytes& b, const std::string& text) {
    std::uint32_t addr = 0;
    if (!net::parseIPv4(text.c_str(), addr)) addr = 0;
    std::uint8_t bytes[4];
    std::memcpy(bytes, &addr, 4);  // network order already
    b.insert(b.end(), bytes, bytes + 4);
}

std::string addressText(const std::uint8_t* p) {
    std::uint32_t addr = 0;
    std::memcpy(&addr, p, 4);
    return net::formatIPv4(addr);
}

bool sendAll(net::Socket c, const std::uint8_t* data, std::size_t n) {
    return n == 0 || net::send(c, data, n) == static_cast<int>(n);
}

}  // namespace

std::uint8_t crc8(const std::uint8_t* data, std::size_t n) {
    static const std::array<std::uint8_t, 256> table = makeCrcTable();
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) crc = table[crc ^ data[i]];
    return crc;
}

namespace cs {

Bytes encode(const Frame& f) {
    Bytes b = {0x5A, 0xA5, 0x01, 0x06, 0x00, 0x00, f.flag, 0x65, 0x9A};
    wire::putU16LE(b, f.command);
    wire::putU16LE(b, static_cast<std::uint16_t>(f.payload.size()));
    b.push_back(f.byte13);
    for (int i = 0; i < 5; ++i) b.push_back(0);
    b.push_back(crc8(b.data(), 19));
    b.push_back(f.payload.empty() ? 0 : crc8(f.payload.data(), f.payload.size()));
    b.insert(b.end(), f.payload.begin(), f.payload.end());
    return b;
}

Bytes encodeReply(std::uint16_t command, std::uint32_t result, const Bytes& data) {
    Frame f;
    f.command = command;
    wire::putU32LE(f.payload, result);
    f.payload.insert(f.payload.end(), data.begin(), data.end());
    return encode(f);
}

Bytes encodeNetSettings(const NetSettings& n) {
    Bytes b;
    putAddress(b, n.lidarIp);
    putAddress(b, n.hostIp);
    wire::putU16LE(b, n.lidarPort);
    wire::putU16LE(b, n.hostPort);
    Bytes extra = n.extra;
    extra.resize(kNetSettingsSize - 12, 0);
    b.insert(b.end(), extra.begin(), extra.end());
    return b;
}

}  // namespace cs

ControlServer::ControlServer(std::shared_ptr<SettingsStore> store, ControlServerOptions options)
    : store_(std::move(store)), options_(std::move(options)), receiveSize_(options_.receiveSize) {}

ControlServer::~ControlServer() { stop(); }

bool ControlServer::start(std::string* error) {
    if (thread_.joinable()) return true;
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + net::lastErrorText();
        if (listener_ != net::kInvalidSocket) net::closeSocket(listener_);
        listener_ = net::kInvalidSocket;
        return false;
    };
    listener_ = net::tcpSocket();
    if (listener_ == net::kInvalidSocket) return fail("socket");
    const std::string ip = options_.bindAny ? std::string("0.0.0.0") : options_.deviceIp;
    if (!net::setReuseAddr(listener_)) return fail("SO_REUSEADDR");
    if (!net::bindTo(listener_, ip.c_str(), options_.port))
        return fail("bind " + ip + ":" + std::to_string(options_.port));
    if (!net::listenOn(listener_, 4)) return fail("listen");
    stopRequested_.store(false);
    thread_ = std::thread([this] { run(); });
    return true;
}

void ControlServer::stop() {
    stopRequested_.store(true);
    if (thread_.joinable()) thread_.join();
    if (listener_ != net::kInvalidSocket) net::closeSocket(listener_);
    listener_ = net::kInvalidSocket;
}

void ControlServer::setFault(CsFault fault, int remaining, int command) {
    std::lock_guard<std::mutex> lk(faultMutex_);
    fault_ = fault;
    faultRemaining_ = remaining;
    faultCommand_ = command;
}

void ControlServer::clearFault() { setFault(CsFault::None, 0, -1); }

CsFault ControlServer::takeFault(std::uint16_t command) {
    std::lock_guard<std::mutex> lk(faultMutex_);
    if (fault_ == CsFault::None || faultRemaining_ == 0) return CsFault::None;
    if (faultCommand_ >= 0 && faultCommand_ != command) return CsFault::None;
    const CsFault f = fault_;
    if (faultRemaining_ > 0 && --faultRemaining_ == 0) fault_ = CsFault::None;
    return f;
}

std::vector<CsRequest> ControlServer::requests() const {
    std::lock_guard<std::mutex> lk(recordMutex_);
    return records_;
}

std::vector<CsRequest> ControlServer::requestsFor(std::uint16_t command) const {
    std::vector<CsRequest> out;
    std::lock_guard<std::mutex> lk(recordMutex_);
    for (const auto& r : records_)
        if (r.command == command) out.push_back(r);
    return out;
}

void ControlServer::clearRequests() {
    std::lock_guard<std::mutex> lk(recordMutex_);
    records_.clear();
}

void ControlServer::run() {
    while (!stopRequested_.load()) {
        if (!net::waitReadable(listener_, kPollMs)) continue;
        const net::Socket c = net::acceptConnection(listener_, nullptr);
        if (c == net::kInvalidSocket) continue;
        connections_.fetch_add(1);
        serve(c);
        net::closeSocket(c);
    }
}

void ControlServer::serve(net::Socket c) {
    Bytes in;
    std::uint8_t buf[4096];
    while (!stopRequested_.load()) {
        if (!net::waitReadable(c, kPollMs)) continue;
        const int n = net::recv(c, buf, sizeof buf);
        if (n <= 0) return;
        in.insert(in.end(), buf, buf + n);
        while (in.size() >= cs::kHeaderSize) {
            if (crc8(in.data(), 19) != in[19]) {
                // Its length cannot be trusted: record it and drop what is buffered.
                CsRequest bad;
                bad.bytes = in;
                bad.command = wire::getU16LE(in.data() + 9);
                std::lock_guard<std::mutex> lk(recordMutex_);
                records_.push_back(std::move(bad));
                in.clear();
                break;
            }
            const std::size_t len = cs::kHeaderSize + wire::getU16LE(in.data() + 11);
            if (in.size() < len) break;
            const bool keep = handle(c, in.data(), len);
            in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(len));
            if (!keep) return;
        }
    }
}

bool ControlServer::handle(net::Socket c, const std::uint8_t* frame, std::size_t len) {
    CsRequest req;
    req.bytes.assign(frame, frame + len);
    req.command = wire::getU16LE(frame + 9);
    req.payload.assign(frame + cs::kHeaderSize, frame + len);
    req.headerCrcOk = true;
    req.payloadCrcOk = frame[20] == (req.payload.empty() ? 0 : crc8(req.payload.data(), req.payload.size()));
    {
        std::lock_guard<std::mutex> lk(recordMutex_);
        records_.push_back(req);
    }
    if (!req.payloadCrcOk) return true;  // a damaged request gets no answer

    Bytes reply = answer(req);
    const CsFault fault = takeFault(req.command);
    switch (fault) {
    case CsFault::None:
        break;
    case CsFault::BadHeaderCrc:
        reply[19] ^= 0xFF;
        break;
    case CsFault::BadPayloadCrc:
        reply[20] ^= 0xFF;
        break;
    case CsFault::LengthTooLong:
    case CsFault::LengthTooShort: {
        const std::uint16_t n = wire::getU16LE(reply.data() + 11);
        const std::uint16_t wrong = static_cast<std::uint16_t>(fault == CsFault::LengthTooLong ? n + 1 : n - 1);
        reply[11] = static_cast<std::uint8_t>(wrong);
        reply[12] = static_cast<std::uint8_t>(wrong >> 8);
        reply[19] = crc8(reply.data(), 19);
        break;
    }
    case CsFault::Silence:
        return true;
    case CsFault::CloseConnection:
        return false;
    case CsFault::SplitSegments: {
        const std::size_t first = std::min(kSplitAt, reply.size());
        if (!sendAll(c, reply.data(), first)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kSplitPauseMs));
        return sendAll(c, reply.data() + first, reply.size() - first);
    }
    }
    return sendAll(c, reply.data(), reply.size());
}

}  // namespace orbsim

namespace orbsim {

Bytes ControlServer::answer(const CsRequest& req) {
    const Bytes& p = req.payload;
    switch (req.command) {
    case cs::kGetReceiveSize: {
        Bytes data;
        wire::putU32LE(data, static_cast<std::uint32_t>(receiveSize_.load()));
        return cs::encodeReply(req.command, cs::kResultOk, data);
    }
    case cs::kSetReceiveSize:
        if (p.size() != 4 || !options_.acceptReceiveSize) return cs::encodeReply(req.command, cs::kResultError);
        receiveSize_.store(static_cast<std::int32_t>(wire::getU32LE(p.data())));
        return cs::encodeReply(req.command, cs::kResultOk);
    case cs::kGetNetSettings: {
        Bytes data = cs::encodeNetSettings(store_->netSettings());
        const int forced = netReplyLength_.load();
        if (forced >= 0) data.resize(static_cast<std::size_t>(forced), 0);
        return cs::encodeReply(req.command, cs::kResultOk, data);
    }
    case cs::kSetNetSettings: {
        if (p.size() != kNetSettingsSize) return cs::encodeReply(req.command, cs::kResultError);
        NetSettings n = store_->netSettings();
        n.lidarIp = addressText(p.data());
        n.hostIp = addressText(p.data() + 4);
        n.lidarPort = wire::getU16LE(p.data() + 8);
        n.hostPort = wire::getU16LE(p.data() + 10);
        n.extra.assign(p.begin() + 12, p.end());
        store_->setNetSettings(n);
        return cs::encodeReply(req.command, cs::kResultOk);
    }
    case cs::kMode: {
        const std::uint32_t value = p.size() == 4 ? wire::getU32LE(p.data()) : 0;
        if (value != 1 && value != 9) return cs::encodeReply(req.command, cs::kResultError);
        store_->setDeviceMode(value == 9 ? 1 : 0);
        cs::Frame confirm;  // the fixed confirmation: flag 0, byte 13 set, result 0
        confirm.flag = 0;
        confirm.byte13 = 1;
        confirm.command = cs::kMode;
        confirm.payload = {0, 0, 0, 0};
        return cs::encode(confirm);
    }
    default:
        return cs::encodeReply(req.command, cs::kResultError);
    }
}

}  // namespace orbsim
