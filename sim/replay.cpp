#include "replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/net.h"
#include "settings_store.h"
#include "wire_sim.h"

namespace orbsim {

namespace net = orb::net;
using Clock = std::chrono::steady_clock;

namespace {

// What tells the camera's datagrams apart (the simulator's own view of the
// formats its senders write).
constexpr std::uint8_t kDataMagic[2] = {0x5A, 0xA5};      // point-cloud, six-axis and announcement packets
constexpr std::uint8_t kAnnouncementType = 9;             // byte 3 of an announcement
constexpr std::uint8_t kSideHead[4] = {0x55, 0xAA, 0x5A, 0xA5};  // nine-axis IMU frames and RGB fragments
constexpr std::uint8_t kSideTail[4] = {0xAA, 0x55, 0xA5, 0x5A};
constexpr std::size_t kImuFrameBytes = 58;
constexpr std::size_t kImuTailAt = 54;
constexpr std::size_t kRgbHeaderBytes = 34;
constexpr std::size_t kRgbLengthAt = 8;
constexpr std::uint8_t kHighestSuccessStatus = 2;
constexpr auto kPauseSlice = std::chrono::milliseconds(50);

bool startsWith(const CapturedDatagram& d, const std::uint8_t* magic, std::size_t n) {
    return d.length >= n && std::memcmp(d.data, magic, n) == 0;
}

bool isPointCloud(const CapturedDatagram& d) {
    return startsWith(d, kDataMagic, 2) && !(d.length > 3 && d.data[3] == kAnnouncementType);
}

bool isCommandFrame(const CapturedDatagram& d) {
    return d.length >= wire::kFrameOverhead && std::memcmp(d.data, wire::kHeadMagic, 4) == 0;
}

// A nine-axis frame somewhere in the datagram (the host skips leading bytes).
bool looksLikeImu(const CapturedDatagram& d) {
    for (std::size_t k = 0; k + kImuFrameBytes <= d.length; ++k)
        if (std::memcmp(d.data + k, kSideHead, 4) == 0 && std::memcmp(d.data + k + kImuTailAt, kSideTail, 4) == 0)
            return true;
    return false;
}

bool looksLikeRgb(const CapturedDatagram& d) {
    if (!startsWith(d, kSideHead, 4) || d.length < kRgbHeaderBytes + 4) return false;
    const std::size_t n = wire::getU32BE(d.data + kRgbLengthAt);
    return n <= d.length - kRgbHeaderBytes - 4 && std::memcmp(d.data + kRgbHeaderBytes + n, kSideTail, 4) == 0;
}

std::string ipText(std::uint32_t a) { return net::formatIPv4(a); }

bool isLoopback(std::uint32_t a) { return reinterpret_cast<const std::uint8_t*>(&a)[0] == 127; }

}  // namespace

// What the scan learns about one sending address.
struct Replay::Source {
    std::uint64_t pointCloud = 0, commands = 0, other = 0, all = 0;
    std::uint16_t pointCloudPort = 0;
    std::set<std::uint32_t> commandPeers;
    std::map<std::uint16_t, std::pair<std::uint64_t, std::uint64_t>> side;  // port -> (IMU-like, all)
    std::map<std::uint16_t, wire::Bytes> settings;  // first successful reply per getter
};

struct Replay::Sender {
    net::Socket sock = net::kInvalidSocket;
    ~Sender() {
        if (sock != net::kInvalidSocket) net::closeSocket(sock);
    }
};

std::string ReplaySummary::text(const std::string& path) const {
    std::string s = "replay " + path + ": " + std::to_string(records) + " records, " +
                    std::to_string(cameras.size()) + (cameras.size() == 1 ? " camera\n" : " cameras\n");
    for (const auto& c : cameras)
        s += "  " + c.recordedIp + " as " + c.replayIp + ": " + std::to_string(c.pointCloud) + " point-cloud, " +
             std::to_string(c.imu) + " IMU, " + std::to_string(c.rgb) + " RGB datagrams, " +
             std::to_string(c.replies) + " command replies (" + std::to_string(c.settings) + " settings)\n";
    std::string skips;
    for (std::size_t i = 0; i < skipped.size(); ++i)
        if (skipped[i]) skips += ", " + std::to_string(skipped[i]) + " " + skipReasonText(static_cast<SkipReason>(i));
    if (otherHosts) skips += ", " + std::to_string(otherHosts) + " datagrams from other hosts";
    if (notReplayed) skips += ", " + std::to_string(notReplayed) + " other camera datagrams";
    if (!skips.empty()) s += "  skipped: " + skips.substr(2) + "\n";
    if (!damage.empty()) s += "  the file is damaged at " + damage + "; replaying what comes before\n";
    return s;
}

Replay::Replay(ReplayOptions options) : options_(std::move(options)) {}

Replay::~Replay() { stop(); }

bool Replay::load(std::string* error) {
    auto fail = [&](const std::string& why) {
        // libpcap names the file itself when it cannot open it.
        const bool named = why.compare(0, options_.path.size() + 1, options_.path + ":") == 0;
        if (error) *error = named ? why : options_.path + ": " + why;
        return false;
    };
    if (!(options_.speed > 0)) return fail("the speed must be above 0");
    std::map<std::uint32_t, std::uint32_t> named;  // recorded -> replay address
    for (const auto& [from, to] : options_.cameras) {
        std::uint32_t a, b;
        if (!net::parseIPv4(from.c_str(), a) || !net::parseIPv4(to.c_str(), b) || !isLoopback(b))
            return fail("bad camera mapping " + from + "=" + to + " (a loopback address is needed)");
        named[a] = b;
    }

    CaptureReader reader;
    std::string why;
    if (!reader.open(options_.path, &why)) return fail(why);
    std::map<std::uint32_t, Source> sources;
    std::vector<std::uint32_t> order;  // sources in order of appearance
    bool bothWays = false;             // some pair of hosts exchanged command frames in both directions
    CapturedDatagram d;
    CaptureReader::Result r;
    while ((r = reader.next(d)) == CaptureReader::Result::Datagram) {
        auto [it, fresh] = sources.try_emplace(d.srcAddr);
        if (fresh) order.push_back(d.srcAddr);
        Source& s = it->second;
        ++s.all;
        if (isPointCloud(d)) {
            if (s.pointCloud++ == 0) s.pointCloudPort = d.srcPort;
        } else if (isCommandFrame(d)) {
            ++s.commands;
            s.commandPeers.insert(d.dstAddr);
            auto peer = sources.find(d.dstAddr);
            if (peer != sources.end() && peer->second.commandPeers.count(d.srcAddr)) bothWays = true;
            wire::CommandFrame f;
            if (wire::decodeFrame(d.data, d.length, f) == wire::DecodeResult::Ok && f.status <= kHighestSuccessStatus &&
                SettingsStore::isGetter(f.command))
                s.settings.try_emplace(f.command, std::move(f.payload));
        } else if (startsWith(d, kSideHead, 4) || looksLikeImu(d)) {
            auto& port = s.side[d.dstPort];
            port.first += looksLikeImu(d) && !looksLikeRgb(d) ? 1 : 0;
            ++port.second;
        } else {
            ++s.other;
        }
    }
    if (r == CaptureReader::Result::Error) {
        if (reader.records() == 0) return fail(reader.error());
        summary_.damage = reader.error();
    }
    summary_.records = reader.records();
    summary_.skipped = reader.skipped();

    // Cameras: those named; else every source of point-cloud packets, and,
    // in a capture of one direction only (what the library records), every
    // source of command frames.
    std::set<std::uint32_t> used;
    for (const auto& [from, to] : named) used.insert(to);
    std::uint8_t next = 2;
    auto freeLoopback = [&] {
        for (;;) {
            const std::uint32_t a = net::makeEndpoint(("127.0.0." + std::to_string(next++)).c_str(), 0).addr;
            if (!used.count(a)) return a;
        }
    };
    std::uint64_t streamed = 0;
    for (std::uint32_t addr : order) {
        const Source& s = sources[addr];
        bool camera = named.empty() ? (s.pointCloud > 0 || (s.commands > 0 && !bothWays)) : named.count(addr) > 0;
        if (!camera) {
            summary_.otherHosts += s.all;
            continue;
        }
        if (cameras_.size() + 1 >= 250) return fail("too many cameras");
        std::uint32_t replayAddr;
        if (!named.empty())
            replayAddr = named[addr];
        else if (isLoopback(addr) && used.insert(addr).second)
            replayAddr = addr;
        else
            replayAddr = freeLoopback();
        used.insert(replayAddr);

        ReplayCamera c;
        c.recordedIp = ipText(addr);
        c.replayIp = ipText(replayAddr);
        c.pointCloud = s.pointCloud;
        c.sourcePort = s.pointCloudPort;
        c.replies = s.commands;
        c.settings = s.settings.size();
        std::vector<std::uint16_t> imuPorts;
        for (const auto& [port, n] : s.side) {
            const bool imu = n.first * 2 > n.second;
            (imu ? c.imu : c.rgb) += n.second;
            if (imu) imuPorts.push_back(port);
        }
        summary_.notReplayed += s.other;
        streamed += c.pointCloud + c.imu + c.rgb;

        CameraOptions co;
        co.deviceIp = c.replayIp;
        if (options_.controlServer) co.controlServer = ControlServerOptions{};
        auto cam = std::make_unique<Camera>(co);
        for (const auto& [code, payload] : s.settings) cam->store()->setPayload(code, payload);
        cameraIndex_[addr] = cameras_.size();
        cameras_.push_back(std::move(cam));
        imuPorts_.push_back(std::move(imuPorts));
        summary_.cameras.push_back(c);
    }
    if (streamed == 0) {
        std::string what = std::to_string(summary_.records) + " records";
        for (std::size_t i = 0; i < summary_.skipped.size(); ++i)
            if (summary_.skipped[i])
                what += ", " + std::to_string(summary_.skipped[i]) + " " + skipReasonText(static_cast<SkipReason>(i));
        cameras_.clear();
        return fail("no camera traffic to replay (" + what + ", " + std::to_string(summary_.otherHosts) +
                    " datagrams from hosts that are no camera)");
    }
    return true;
}

bool Replay::start(std::string* error) {
    if (cameras_.empty()) {
        if (error) *error = "nothing loaded";
        return false;
    }
    for (auto& c : cameras_) {
        if (!c->start(error)) {
            for (auto& s : cameras_) s->stop();
            return false;
        }
    }
    stop_ = false;
    finished_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void Replay::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (auto& c : cameras_) c->stop();
    senders_.clear();
}

bool Replay::waitFinished(int timeoutMs) const {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!finished_.load()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

ReplayCounts Replay::counts() const {
    ReplayCounts c;
    c.pointCloud = pointCloud_.load();
    c.imu = imu_.load();
    c.rgb = rgb_.load();
    c.unsent = unsent_.load();
    c.passes = passes_.load();
    const std::int64_t from = sendingFromNs_.load(), to = sendingToNs_.load();
    const std::int64_t now = Clock::now().time_since_epoch().count();
    if (from != 0) c.seconds = std::chrono::duration<double>(Clock::duration(to != 0 ? to - from : now - from)).count();
    return c;
}

Replay::Kind Replay::sendKind(const CapturedDatagram& d) const {
    auto it = cameraIndex_.find(d.srcAddr);
    if (it == cameraIndex_.end()) return Kind::NotCamera;
    if (isPointCloud(d)) return Kind::PointCloud;
    if (isCommandFrame(d)) return Kind::Command;
    if (startsWith(d, kSideHead, 4) || looksLikeImu(d)) {
        const auto& imu = imuPorts_[it->second];
        return std::find(imu.begin(), imu.end(), d.dstPort) != imu.end() ? Kind::Imu : Kind::Rgb;
    }
    return Kind::Other;
}

void Replay::run() {
    if (options_.waitForConnection) {
        auto connected = [&] {
            for (const auto& c : cameras_)
                if (c->store()->handshake().received) return true;
            return false;
        };
        while (!stop_ && !connected()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sendingFromNs_ = Clock::now().time_since_epoch().count();
    while (!stop_) {
        if (!sendPass()) break;
        ++passes_;
        if (!options_.loop) break;
    }
    sendingToNs_ = Clock::now().time_since_epoch().count();
    finished_ = true;
}

bool Replay::sendPass() {
    CaptureReader reader;
    std::string why;
    if (!reader.open(options_.path, &why)) {
        std::fprintf(stderr, "orb-sim: replay: %s: %s\n", options_.path.c_str(), why.c_str());
        return false;
    }
    bool first = true;
    std::int64_t t0 = 0;
    Clock::time_point base;
    CapturedDatagram d;
    while (!stop_ && reader.next(d) == CaptureReader::Result::Datagram) {
        const Kind k = sendKind(d);
        if (k != Kind::PointCloud && k != Kind::Imu && k != Kind::Rgb) continue;
        if (first) {
            first = false;
            t0 = d.timeNs;
            base = Clock::now();
        }
        if (!options_.maxRate && d.timeNs > t0) {
            const auto due = base + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double, std::nano>((d.timeNs - t0) / options_.speed));
            for (auto now = Clock::now(); now < due && !stop_; now = Clock::now())
                std::this_thread::sleep_for(std::min<Clock::duration>(due - now, kPauseSlice));
        }
        send(d, k);
    }
    return true;
}

void Replay::send(const CapturedDatagram& d, Kind k) {
    const std::size_t cam = cameraIndex_.at(d.srcAddr);
    net::Endpoint to;
    if (k == Kind::PointCloud) {
        to = net::makeEndpoint(options_.hostIp.c_str(), options_.hostPort ? options_.hostPort : d.dstPort);
    } else {
        const HandshakeInfo h = cameras_[cam]->store()->handshake();
        if (!h.received) {
            ++unsent_;
            return;
        }
        to = net::makeEndpoint(h.hostIp.c_str(), static_cast<std::uint16_t>(h.dataPort + (k == Kind::Imu ? 1 : 0)));
    }
    auto& sender = senders_[{cam, d.srcPort}];
    if (!sender) {
        sender = std::make_unique<Sender>();
        const std::string& ip = summary_.cameras[cam].replayIp;
        sender->sock = net::udpSocket();
        if (!net::bindTo(sender->sock, ip.c_str(), d.srcPort)) {
            std::fprintf(stderr, "orb-sim: replay: cannot send from %s:%u (%s); using another port\n", ip.c_str(),
                         d.srcPort, net::lastErrorText().c_str());
            net::bindTo(sender->sock, ip.c_str(), 0);
        }
    }
    if (net::sendTo(sender->sock, d.data, d.length, to) != static_cast<int>(d.length)) {
        ++unsent_;
        return;
    }
    ++(k == Kind::PointCloud ? pointCloud_ : k == Kind::Imu ? imu_ : rgb_);
    cameras_[cam]->store()->countSent(to.port);
}

}  // namespace orbsim
