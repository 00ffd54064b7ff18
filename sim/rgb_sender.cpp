#include "rgb_sender.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace orbsim {

namespace net = orb::net;

cv::Vec3b testPatternColor(int row, int col) {
    const int cr = kRgbHeight / 2, cc = kRgbWidth / 2;
    if (row >= cr - kPatternCentreHalfHeight && row < cr + kPatternCentreHalfHeight &&
        col >= cc - kPatternCentreHalfWidth && col < cc + kPatternCentreHalfWidth)
        return {200, 40, 200};  // centre: magenta
    const bool top = row < cr, left = col < cc;
    if (top && left) return {220, 40, 40};    // red
    if (top) return {40, 200, 40};            // green
    if (left) return {40, 40, 220};           // blue
    return {220, 220, 40};                    // yellow
}

cv::Mat makeTestPattern() {
    cv::Mat img(kRgbHeight, kRgbWidth, CV_8UC3);
    for (int r = 0; r < kRgbHeight; ++r)
        for (int c = 0; c < kRgbWidth; ++c) img.at<cv::Vec3b>(r, c) = testPatternColor(r, c);
    return img;
}

wire::Bytes encodeJpeg(const cv::Mat& rgb, int quality) {
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    std::vector<std::uint8_t> out;
    cv::imencode(".jpg", bgr, out, {cv::IMWRITE_JPEG_QUALITY, quality});
    return out;
}

wire::Bytes encodeNv12(const cv::Mat& rgb) {
    cv::Mat i420;
    cv::cvtColor(rgb, i420, cv::COLOR_RGB2YUV_I420);  // Y plane, then U plane, then V plane
    const std::size_t lumaBytes = static_cast<std::size_t>(rgb.rows) * rgb.cols;
    const std::size_t planeBytes = lumaBytes / 4;
    const std::uint8_t* src = i420.ptr<std::uint8_t>();
    wire::Bytes out(lumaBytes + 2 * planeBytes);
    std::memcpy(out.data(), src, lumaBytes);
    const std::uint8_t* u = src + lumaBytes;
    const std::uint8_t* v = u + planeBytes;
    std::uint8_t* uv = out.data() + lumaBytes;
    for (std::size_t i = 0; i < planeBytes; ++i) {
        uv[2 * i] = u[i];
        uv[2 * i + 1] = v[i];
    }
    return out;
}

void appendFragment(wire::Bytes& out, const FragmentHeader& h, const std::uint8_t* payload, std::size_t n,
                    bool wrongTail) {
    out.insert(out.end(), {0x55, 0xAA, 0x5A, 0xA5});
    wire::putU32BE(out, h.word);
    wire::putU32BE(out, static_cast<std::uint32_t>(n));
    out.insert(out.end(), h.bytes12to14, h.bytes12to14 + 3);
    out.push_back(h.format);
    wire::putU16BE(out, h.total);
    wire::putU16BE(out, h.index);
    wire::putU32BE(out, h.frameId);
    wire::putU32LE(out, static_cast<std::uint32_t>(h.seconds));
    wire::putU16LE(out, static_cast<std::uint16_t>(h.seconds >> 32));
    wire::putU32LE(out, h.microseconds);
    out.insert(out.end(), payload, payload + n);
    if (wrongTail)
        out.insert(out.end(), {0xAA, 0x55, 0xA5, 0x5B});
    else
        out.insert(out.end(), {0xAA, 0x55, 0xA5, 0x5A});
}

std::vector<wire::Bytes> fragmentFrame(const wire::Bytes& frame, std::uint8_t format, std::uint32_t frameId,
                                       std::uint64_t seconds, std::uint32_t microseconds, std::size_t maxPayload,
                                       const RgbFaults& faults) {
    maxPayload = std::max<std::size_t>(maxPayload, 1);
    const std::size_t total = std::max<std::size_t>(1, (frame.size() + maxPayload - 1) / maxPayload);
    std::vector<wire::Bytes> pieces;
    for (std::size_t i = 0; i < total; ++i) {
        const int index = static_cast<int>(i) + 1;
        FragmentHeader h;
        h.format = format;
        h.total = static_cast<std::uint16_t>(total);
        h.index = static_cast<std::uint16_t>(index);
        h.frameId = frameId + (faults.changeIdFrom > 0 && index >= faults.changeIdFrom ? 1 : 0);
        h.seconds = seconds;
        h.microseconds = microseconds;
        const std::size_t off = i * maxPayload;
        const std::size_t n = std::min(maxPayload, frame.size() - std::min(off, frame.size()));
        wire::Bytes d;
        if (i == 0)
            for (std::size_t g = 0; g < faults.garbageBeforeHead; ++g) d.push_back(static_cast<std::uint8_t>(0x55 + g));
        appendFragment(d, h, frame.data() + off, n, index == faults.wrongTailFragment);
        if (index == faults.truncateFragment) d.resize(d.size() > 10 ? d.size() - 10 : 0);
        if (index == faults.dropFragment) continue;
        pieces.push_back(std::move(d));
    }
    if (faults.reorder && pieces.size() >= 2) std::swap(pieces[pieces.size() - 1], pieces[pieces.size() - 2]);
    if (!faults.pairs) return pieces;
    std::vector<wire::Bytes> paired;
    for (std::size_t i = 0; i < pieces.size(); i += 2) {
        wire::Bytes d = pieces[i];
        if (i + 1 < pieces.size()) d.insert(d.end(), pieces[i + 1].begin(), pieces[i + 1].end());
        paired.push_back(std::move(d));
    }
    return paired;
}

RgbSender::RgbSender(std::shared_ptr<SettingsStore> store, RgbSenderOptions options)
    : store_(std::move(store)), options_(options), sock_(net::kInvalidSocket), rateHz_(options.rateHz) {}

RgbSender::~RgbSender() { stop(); }

bool RgbSender::start(std::string* error) {
    if (running_.load()) return true;
    net::Socket s = net::udpSocket();
    if (s == net::kInvalidSocket || !net::bindTo(s, store_->deviceIp().c_str(), 0)) {
        if (s != net::kInvalidSocket) net::closeSocket(s);
        if (error) *error = "RGB sender socket: " + net::lastErrorText();
        return false;
    }
    {
        std::lock_guard<std::mutex> lk(mutex_);
        sock_ = s;
    }
    running_.store(true);
    thread_ = std::thread([this] { run(); });
    return true;
}

void RgbSender::stop() {
    running_.store(false);
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lk(mutex_);
    if (sock_ != net::kInvalidSocket) net::closeSocket(sock_);
    sock_ = net::kInvalidSocket;
}

void RgbSender::setFaults(const RgbFaults& f) {
    std::lock_guard<std::mutex> lk(mutex_);
    faults_ = f;
}

void RgbSender::setFormat(std::uint8_t format) {
    std::lock_guard<std::mutex> lk(mutex_);
    options_.format = format;
}

const wire::Bytes& RgbSender::encoded(std::uint8_t format) {
    if (format == kRgbNv12) {
        if (nv12_.empty()) nv12_ = encodeNv12(makeTestPattern());
        return nv12_;
    }
    if (jpeg_.empty()) jpeg_ = encodeJpeg(makeTestPattern(), options_.jpegQuality);
    return jpeg_;
}

bool RgbSender::sendDatagrams(const std::vector<wire::Bytes>& datagrams) {
    const HandshakeInfo h = store_->handshake();
    if (!h.received) return false;
    const net::Endpoint to = net::makeEndpoint(h.hostIp.c_str(), h.dataPort);
    std::size_t burst = 0;
    for (const auto& d : datagrams) {
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (sock_ == net::kInvalidSocket) return false;
            if (net::sendTo(sock_, d.data(), d.size(), to) != static_cast<int>(d.size())) return false;
        }
        store_->countSent(to.port);
        // Pace large frames so a host socket buffer of a few MiB keeps up.
        burst += d.size();
        if (burst >= (std::size_t{1} << 20)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            burst = 0;
        }
    }
    return true;
}

bool RgbSender::sendFrameBytes(const wire::Bytes& frame, std::uint8_t format, std::uint32_t frameId) {
    std::vector<wire::Bytes> datagrams;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        datagrams = fragmentFrame(frame, format, frameId, frameId, frameId * 10u, options_.maxPayload, faults_);
    }
    if (!sendDatagrams(datagrams)) return false;
    framesSent_.fetch_add(1);
    return true;
}

bool RgbSender::sendFrame(std::uint32_t frameId) {
    wire::Bytes frame;
    std::uint8_t format;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        format = options_.format;
        frame = encoded(format);
    }
    return sendFrameBytes(frame, format, frameId);
}

void RgbSender::run() {
    using clock = std::chrono::steady_clock;
    std::uint32_t frameId = 1;
    auto next = clock::now();
    while (running_.load()) {
        const double hz = rateHz_.load();
        if (hz <= 0.0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            next = clock::now();
            continue;
        }
        if (clock::now() < next) {
            std::this_thread::sleep_for(std::min<clock::duration>(next - clock::now(), std::chrono::milliseconds(5)));
            continue;
        }
        if (sendFrame(frameId)) ++frameId;
        next += std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(1.0 / hz));
        if (clock::now() - next > std::chrono::milliseconds(500)) next = clock::now();
    }
}

}  // namespace orbsim
