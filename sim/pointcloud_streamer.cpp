#include "pointcloud_streamer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace orbsim {

namespace {

constexpr std::size_t kTimingLog = 65536;

struct Layout {
    int gridRows, gridCols;
    int groupCols;      // columns one packet covers
    int recordsPerRow;  // records per row of a packet (two per column in dual echo)
};

Layout layoutFor(std::uint8_t dataType) {
    switch (dataType) {
    case 12: return Layout{75, 180, 2, 2};
    case 13: return Layout{75, 360, 4, 8};
    case 14: return Layout{75, 360, 4, 4};
    default: return Layout{150, 360, 4, 4};
    }
}

std::uint8_t formatFor(std::uint8_t dataType, std::uint8_t pointFormat) { return dataType == 1 ? pointFormat : 10; }

std::uint8_t selectorFor(std::uint8_t format) {
    switch (format) {
    case 4: return 0;
    case 8: return 1;
    case 22: return 5;
    default: return 2;
    }
}

void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void putf32(std::uint8_t* p, float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

std::int16_t rawCoord(float v) {
    const double r = std::round(static_cast<double>(v) * 5.0);
    return static_cast<std::int16_t>(std::clamp(r, -32767.0, 32767.0));
}
std::uint16_t rawDistance(float d) {
    const double r = std::round(static_cast<double>(d));
    return static_cast<std::uint16_t>(std::clamp(r, 0.0, 65535.0));
}

// Writes one record and what it should decode to.
void encodeRecord(std::uint8_t format, const ScenePoint& sp, std::uint8_t* rec, ExpectedPoint& e) {
    std::memset(rec, 0, format);
    e.distance = 0;
    e.intensity = 0;
    e.x = e.y = e.z = 0;
    if (!sp.valid) return;
    const std::uint16_t dist = rawDistance(sp.distance);
    e.intensity = sp.intensity;
    switch (format) {
    case 4:
        put16(rec, dist);
        rec[2] = sp.intensity;
        e.distance = dist;
        break;
    case 8: {
        const std::int16_t x = rawCoord(sp.x), y = rawCoord(sp.y), z = rawCoord(sp.z);
        put16(rec, static_cast<std::uint16_t>(x));
        put16(rec + 2, static_cast<std::uint16_t>(y));
        put16(rec + 4, static_cast<std::uint16_t>(z));
        rec[6] = sp.intensity;
        e.x = static_cast<float>(x / 5.0);
        e.y = static_cast<float>(y / 5.0);
        e.z = static_cast<float>(z / 5.0);
        break;
    }
    case 22: {
        const float x = static_cast<float>(sp.x * 5.0), y = static_cast<float>(sp.y * 5.0),
                    z = static_cast<float>(sp.z * 5.0);
        put16(rec, dist);
        putf32(rec + 2, x);
        putf32(rec + 6, y);
        putf32(rec + 10, z);
        rec[14] = sp.intensity;
        e.distance = dist;
        e.x = static_cast<float>(x / 5.0);
        e.y = static_cast<float>(y / 5.0);
        e.z = static_cast<float>(z / 5.0);
        break;
    }
    default: {  // 10
        const std::int16_t x = rawCoord(sp.x), y = rawCoord(sp.y), z = rawCoord(sp.z);
        put16(rec, dist);
        put16(rec + 2, static_cast<std::uint16_t>(x));
        put16(rec + 4, static_cast<std::uint16_t>(y));
        put16(rec + 6, static_cast<std::uint16_t>(z));
        rec[8] = sp.intensity;
        e.distance = dist;
        e.x = static_cast<float>(x / 5.0);
        e.y = static_cast<float>(y / 5.0);
        e.z = static_cast<float>(z / 5.0);
        break;
    }
    }
}

// Grid position of record i of a packet starting at grid (r, c).
void recordPosition(std::uint8_t dataType, std::uint32_t i, int r, int c, int& row, int& col, int& echo) {
    echo = 0;
    switch (dataType) {
    case 12:
        row = r + static_cast<int>(i / 2);
        col = c + static_cast<int>(i % 2);
        break;
    case 13:
        row = r + static_cast<int>(i / 8);
        col = c + static_cast<int>((i / 2) % 4);
        echo = static_cast<int>(i % 2);
        break;
    default:
        row = r + static_cast<int>(i / 4);
        col = c + static_cast<int>(i % 4);
        break;
    }
}

}  // namespace

std::uint32_t recordsPerPacket(std::uint8_t dataType, std::uint8_t pointFormat) {
    const Layout l = layoutFor(dataType);
    const std::uint32_t fit = static_cast<std::uint32_t>((kMaxDatagramBytes - kDataHeaderBytes) / formatFor(dataType, pointFormat));
    return fit / static_cast<std::uint32_t>(l.recordsPerRow) * static_cast<std::uint32_t>(l.recordsPerRow);
}

EncodedFrame encodeFrame(const SceneFrame& scene, std::uint8_t dataType, std::uint8_t pointFormat,
                         std::uint64_t frameIndex, std::uint64_t timestamp) {
    const Layout l = layoutFor(dataType);
    const std::uint8_t format = formatFor(dataType, pointFormat);
    const int rowsPerPacket = static_cast<int>(recordsPerPacket(dataType, pointFormat)) / l.recordsPerRow;
    const std::uint8_t tag = static_cast<std::uint8_t>(frameIndex & 0xFF);

    EncodedFrame out;
    SentFrame& ex = out.expected;
    ex.index = frameIndex;
    ex.dataType = dataType;
    ex.format = format;
    ex.tag = tag;
    ex.timestamp = timestamp;
    ex.gridRows = l.gridRows;
    ex.gridCols = l.gridCols;
    const std::size_t cells = static_cast<std::size_t>(l.gridRows) * l.gridCols;
    ex.first.resize(cells);
    if (dataType == 13) ex.second.resize(cells);

    std::uint16_t number = 0;
    for (int r = 0; r < l.gridRows; r += rowsPerPacket) {
        const int rows = std::min(rowsPerPacket, l.gridRows - r);
        for (int c = 0; c < l.gridCols; c += l.groupCols) {
            const std::uint32_t records = static_cast<std::uint32_t>(rows * l.recordsPerRow);
            std::vector<std::uint8_t> d(kDataHeaderBytes + records * format, 0);
            d[0] = 0x5A;
            d[1] = 0xA5;
            d[2] = 1;
            d[3] = dataType;
            d[6] = 0;
            put16(&d[7], number++);
            d[11] = tag;
            const bool halfHeight = dataType != 1;
            put16(&d[12], static_cast<std::uint16_t>(dataType == 12 ? 2 * c : c));
            put16(&d[14], static_cast<std::uint16_t>(halfHeight ? 2 * r : r));
            put16(&d[16], static_cast<std::uint16_t>(rows));
            d[18] = selectorFor(format);
            d[19] = static_cast<std::uint8_t>(l.recordsPerRow);
            put64(&d[37], timestamp);
            for (std::uint32_t i = 0; i < records; ++i) {
                int row, col, echo;
                recordPosition(dataType, i, r, c, row, col, echo);
                // Half-height grids sample every other scene row (and column for 12).
                const int sr = halfHeight ? 2 * row : row;
                const int sc = dataType == 12 ? 2 * col : col;
                const std::size_t sidx = static_cast<std::size_t>(sr) * kSceneCols + sc;
                const ScenePoint& sp = echo ? (scene.hasSecond ? scene.second[sidx] : ScenePoint{}) : scene.first[sidx];
                ExpectedPoint& e = (echo ? ex.second : ex.first)[static_cast<std::size_t>(row) * l.gridCols + col];
                e.row = static_cast<std::uint16_t>(row);
                e.column = static_cast<std::uint16_t>(col);
                e.delivered = true;
                encodeRecord(format, sp, &d[kDataHeaderBytes + i * format], e);
            }
            out.packets.push_back(std::move(d));
        }
    }
    ex.packetFates.assign(out.packets.size(), kFateSent);
    return out;
}

std::vector<std::uint8_t> encodeSixAxis(std::uint8_t check, std::uint64_t deviceTimestamp, const std::uint8_t* data26) {
    std::vector<std::uint8_t> d(46, 0);
    d[0] = 0x5A;
    d[1] = 0xA5;
    d[3] = 4;
    d[6] = 0xA5;  // record bytes 0..1 are passed through as sent
    d[7] = 0x5A;
    d[8] = check;
    put64(&d[12], deviceTimestamp);
    if (data26) std::memcpy(&d[20], data26, 26);
    return d;
}

PointCloudStreamer::PointCloudStreamer(StreamerOptions options, ScenePtr scene, std::shared_ptr<SettingsStore> store)
    : options_(std::move(options)), scene_(std::move(scene)), store_(std::move(store)), rng_(options_.faults.seed) {}

PointCloudStreamer::~PointCloudStreamer() {
    stop();
    closeSocket();
}

bool PointCloudStreamer::openSocket(std::string* error) {
    if (sock_ != orb::net::kInvalidSocket) return true;
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + orb::net::lastErrorText();
        closeSocket();
        return false;
    };
    sock_ = orb::net::udpSocket();
    if (sock_ == orb::net::kInvalidSocket) return fail("socket");
    orb::net::setReuseAddr(sock_);
    if (!orb::net::bindTo(sock_, options_.deviceIp.c_str(), options_.sourcePort)) return fail("bind");
    if (options_.multicast) {
        if (!orb::net::setMulticastInterface(sock_, options_.deviceIp.c_str())) return fail("multicast interface");
        orb::net::setMulticastLoop(sock_, true);
        orb::net::setMulticastTtl(sock_, 1);
        dest_ = orb::net::makeEndpoint(kDataMulticastGroup, options_.hostPort);
    } else {
        dest_ = orb::net::makeEndpoint(options_.hostIp.c_str(), options_.hostPort);
    }
    return true;
}

void PointCloudStreamer::closeSocket() {
    if (sock_ != orb::net::kInvalidSocket) orb::net::closeSocket(sock_);
    sock_ = orb::net::kInvalidSocket;
}

bool PointCloudStreamer::start(std::string* error) {
    if (running_.load()) return true;
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!openSocket(error)) return false;
    stopRequested_.store(false);
    running_.store(true);
    thread_ = std::thread([this] { run(); });
    return true;
}

void PointCloudStreamer::stop() {
    stopRequested_.store(true);
    if (thread_.joinable()) thread_.join();
    running_.store(false);
}

bool PointCloudStreamer::sendFrameNow(std::uint64_t frameIndex, std::string* error) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!openSocket(error)) return false;
    sendFrame(frameIndex, false, std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
    return true;
}

bool PointCloudStreamer::sendRaw(const std::vector<std::uint8_t>& datagram) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!openSocket(nullptr)) return false;
    return sendDatagram(datagram.data(), datagram.size());
}

bool PointCloudStreamer::waitFramesSent(std::uint64_t n, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (framesSent_.load() < n) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::shared_ptr<const SentFrame> PointCloudStreamer::sentFrame(std::uint64_t index) const {
    std::lock_guard<std::mutex> lock(logMutex_);
    for (const auto& f : sent_)
        if (f->index == index) return f;
    return nullptr;
}

std::vector<FrameTiming> PointCloudStreamer::timings() const {
    std::lock_guard<std::mutex> lock(logMutex_);
    return std::vector<FrameTiming>(timings_.begin(), timings_.end());
}

void PointCloudStreamer::run() {
    using clock = std::chrono::steady_clock;
    const double fps = options_.frameRate > 0 ? options_.frameRate : 1.0;
    const auto period = std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(1.0 / fps));
    const auto t0 = clock::now();
    nextSixAxis_ = t0;
    for (std::uint64_t k = 0; !stopRequested_.load(); ++k) {
        if (options_.maxFrames && k >= options_.maxFrames) break;
        const auto frameStart = t0 + period * static_cast<long long>(k);
        // Wait for the frame's slot (in short steps, so that stop stays quick).
        for (auto now = clock::now(); now < frameStart && !stopRequested_.load(); now = clock::now()) {
            sendDueSixAxis(now);
            std::this_thread::sleep_for(std::min<clock::duration>(frameStart - now, std::chrono::milliseconds(2)));
        }
        if (stopRequested_.load()) break;
        std::lock_guard<std::mutex> lock(sendMutex_);
        sendFrame(k, options_.paceWithinFrame, frameStart, period);
    }
    running_.store(false);
}

std::shared_ptr<const EncodedFrame> PointCloudStreamer::frameFor(std::uint64_t frameIndex) {
    const int mode = store_ ? store_->deviceMode() : 0;
    const std::uint8_t type = mode == 1 ? 13 : options_.dataType;
    const std::uint64_t timestamp = frameIndex;
    if (options_.staticScene && cached_ && cachedType_ == type) {
        // Same datagrams; only the frame's tag and timestamp change. Frames
        // are sent one at a time, so the cache is patched in place.
        for (auto& d : cached_->packets) {
            d[11] = static_cast<std::uint8_t>(frameIndex & 0xFF);
            put64(&d[37], timestamp);
        }
        cached_->expected.index = frameIndex;
        cached_->expected.tag = static_cast<std::uint8_t>(frameIndex & 0xFF);
        cached_->expected.timestamp = timestamp;
        return cached_;
    }
    scene_->render(frameIndex, render_);
    auto f = std::make_shared<EncodedFrame>(encodeFrame(render_, type, options_.pointFormat, frameIndex, timestamp));
    if (options_.staticScene) {
        cached_ = f;
        cachedType_ = type;
    }
    return f;
}

void PointCloudStreamer::sendDueSixAxis(std::chrono::steady_clock::time_point now) {
    if (options_.sixAxisRate <= 0) return;
    const auto step = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / options_.sixAxisRate));
    while (nextSixAxis_ <= now) {
        std::uint8_t data[26];
        for (int i = 0; i < 26; ++i) data[i] = static_cast<std::uint8_t>(sixAxisCount_ + i);
        // The device counts in nanoseconds; the host divides by 1,000,000.
        const auto d = encodeSixAxis(options_.sixAxisCheck, (sixAxisCount_ + 1) * 1000000ull, data);
        if (sendDatagram(d.data(), d.size())) sixAxisSent_.fetch_add(1);
        ++sixAxisCount_;
        nextSixAxis_ += step;
    }
}

bool PointCloudStreamer::sendDatagram(const std::uint8_t* d, std::size_t n) {
    if (orb::net::sendTo(sock_, d, n, dest_) != static_cast<int>(n)) return false;
    if (store_) store_->countSent(dest_.port);
    return true;
}

void PointCloudStreamer::sendFrame(std::uint64_t frameIndex, bool pace, std::chrono::steady_clock::time_point start,
                                   std::chrono::steady_clock::duration period) {
    using clock = std::chrono::steady_clock;
    std::shared_ptr<const EncodedFrame> enc = frameFor(frameIndex);
    const std::size_t n = enc->packets.size();
    const FaultOptions& f = options_.faults;
    const bool faulty = f.loss > 0 || f.duplicate > 0 || f.reorder > 0 || f.truncate > 0 || f.badMagic > 0 || f.badVersion > 0;

    auto record = std::make_shared<SentFrame>();
    if (options_.keepFrames) {
        *record = enc->expected;
    } else {
        const SentFrame& e = enc->expected;
        record->dataType = e.dataType;
        record->format = e.format;
        record->tag = e.tag;
        record->timestamp = e.timestamp;
        record->gridRows = e.gridRows;
        record->gridCols = e.gridCols;
    }
    record->index = frameIndex;
    record->packetFates.assign(n, kFateSent);

    // Order of sending, with reordering applied as swaps of neighbours.
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    if (f.reorder > 0)
        for (std::size_t i = 0; i + 1 < n; ++i)
            if (coin(rng_) < f.reorder) {
                std::swap(order[i], order[i + 1]);
                record->packetFates[order[i]] |= kFateReordered;
                record->packetFates[order[i + 1]] |= kFateReordered;
                ++i;
            }

    std::vector<std::uint8_t> scratch;
    const auto frameBegin = clock::now();
    record->firstSent = frameBegin;
    for (std::size_t k = 0; k < n; ++k) {
        if (pace && n > 0) {
            const auto due = start + period * static_cast<long long>(k) / static_cast<long long>(n);
            auto now = clock::now();
            sendDueSixAxis(now);
            if (due > now + std::chrono::microseconds(200)) std::this_thread::sleep_until(due);
        } else if (options_.sixAxisRate > 0) {
            sendDueSixAxis(clock::now());
        }
        const std::size_t p = order[k];
        const std::vector<std::uint8_t>& d = enc->packets[p];
        std::uint8_t& fate = record->packetFates[p];
        if (!faulty) {
            if (sendDatagram(d.data(), d.size())) packetsSent_.fetch_add(1);
            continue;
        }
        if (coin(rng_) < f.loss) {
            fate |= kFateLost;
            continue;
        }
        scratch = d;
        std::size_t len = scratch.size();
        if (coin(rng_) < f.badMagic) {
            scratch[0] ^= 0xFF;
            fate |= kFateBadMagic;
        }
        if (coin(rng_) < f.badVersion) {
            scratch[6] = 1;
            fate |= kFateBadVersion;
        }
        if (len > 1 && coin(rng_) < f.truncate) {
            len = 1 + static_cast<std::size_t>(coin(rng_) * static_cast<double>(len - 1));
            fate |= kFateTruncated;
        }
        const int copies = coin(rng_) < f.duplicate ? 2 : 1;
        if (copies == 2) fate |= kFateDuplicated;
        for (int c = 0; c < copies; ++c)
            if (sendDatagram(scratch.data(), len)) packetsSent_.fetch_add(1);
        // Which expected points still arrive intact.
        if (options_.keepFrames && (fate & (kFateBadMagic | kFateBadVersion | kFateTruncated))) {
            const std::uint32_t fmt = record->format;
            std::uint32_t keep = 0;
            if (!(fate & (kFateBadMagic | kFateBadVersion)) && len >= kDataHeaderBytes)
                keep = static_cast<std::uint32_t>((len - kDataHeaderBytes) / fmt);
            const std::uint32_t records = static_cast<std::uint32_t>((d.size() - kDataHeaderBytes) / fmt);
            const int r0 = (d[14] | (d[15] << 8)) / (record->dataType == 1 ? 1 : 2);
            const int c0 = (d[12] | (d[13] << 8)) / (record->dataType == 12 ? 2 : 1);
            for (std::uint32_t i = keep; i < records; ++i) {
                int row, col, echo;
                recordPosition(record->dataType, i, r0, c0, row, col, echo);
                auto& grid = echo ? record->second : record->first;
                grid[static_cast<std::size_t>(row) * record->gridCols + col].delivered = false;
            }
        }
    }
    if (faulty && options_.keepFrames)
        for (std::size_t p = 0; p < n; ++p) {
            if (!(record->packetFates[p] & kFateLost)) continue;
            const auto& d = enc->packets[p];
            const std::uint32_t records = static_cast<std::uint32_t>((d.size() - kDataHeaderBytes) / record->format);
            const int r0 = (d[14] | (d[15] << 8)) / (record->dataType == 1 ? 1 : 2);
            const int c0 = (d[12] | (d[13] << 8)) / (record->dataType == 12 ? 2 : 1);
            for (std::uint32_t i = 0; i < records; ++i) {
                int row, col, echo;
                recordPosition(record->dataType, i, r0, c0, row, col, echo);
                auto& grid = echo ? record->second : record->first;
                grid[static_cast<std::size_t>(row) * record->gridCols + col].delivered = false;
            }
        }
    record->lastSent = clock::now();

    FrameTiming t;
    t.index = frameIndex;
    t.timestamp = enc->expected.timestamp;
    t.packets = static_cast<std::uint32_t>(n);
    t.firstSent = record->firstSent;
    t.lastSent = record->lastSent;
    {
        std::lock_guard<std::mutex> lock(logMutex_);
        if (options_.keepFrames) {
            sent_.push_back(std::move(record));
            while (sent_.size() > options_.keepFrames) sent_.pop_front();
        }
        timings_.push_back(t);
        while (timings_.size() > kTimingLog) timings_.pop_front();
    }
    framesSent_.fetch_add(1);
}

}  // namespace orbsim
