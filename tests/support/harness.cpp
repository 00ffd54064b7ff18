#include "support/harness.h"

#include <shared_mutex>
#include <sstream>

#include "device/device.h"
#include "device/context.h"
#include "scene.h"

namespace orbtest {

orb::DeviceRecord& addDevice(const std::string& ip, bool threads, std::uint8_t mode, std::int32_t sourcePort) {
    auto& reg = orb::libraryContext().registry;
    std::unique_lock<std::shared_mutex> lock(reg.mutex());
    auto rec = std::make_unique<orb::DeviceRecord>(ip, sourcePort);
    rec->stream.processingMode.store(mode);
    if (threads)
        orb::startStreamThreads(rec->stream);
    else
        rec->stream.running = true;
    orb::DeviceRecord& ref = *rec;
    reg.devices()[ip] = std::move(rec);
    return ref;
}

void startDeviceThreads(const std::string& ip) {
    auto& reg = orb::libraryContext().registry;
    std::unique_lock<std::shared_mutex> lock(reg.mutex());
    if (orb::DeviceRecord* dev = reg.find(ip)) orb::startStreamThreads(dev->stream);
}

bool withDevice(const std::string& ip, const std::function<void(orb::DeviceRecord&)>& f) {
    auto& reg = orb::libraryContext().registry;
    std::shared_lock<std::shared_mutex> lock(reg.mutex());
    orb::DeviceRecord* dev = reg.find(ip);
    if (dev) f(*dev);
    return dev != nullptr;
}

bool pollFrame(const std::string& ip, Frame& out, std::chrono::milliseconds timeout, Frame* second) {
    return eventually(
        [&] {
            return (second ? ZelOrbGetDualEchoPointCloud(ip.c_str(), rows(out), rows(*second))
                           : ZelOrbGetPointCloud(ip.c_str(), rows(out))) == RC_OK;
        },
        timeout);
}

namespace {

// Index of the host frame where a grid point of a sent frame lands.
std::size_t landingIndex(int row, int col, bool inverted, bool dual) {
    const std::size_t i = static_cast<std::size_t>(row) * ZEL_ORB_FRAME_COLS + static_cast<std::size_t>(col);
    return inverted && !dual ? ZEL_ORB_FRAME_POINTS - 1 - i : i;
}

bool nearlyEqual(float a, float b) { return std::fabs(a - b) <= 1e-4f * std::max(1.0f, std::fabs(b)); }

// Why point p is not e as sent with the given timestamp and tag ("" when it is).
std::string pointDiff(const ZelOrbPointData& p, const orbsim::ExpectedPoint& e, std::uint64_t timestamp,
                      std::uint64_t tag, float sign, bool exact) {
    if (p.row == e.row && p.column == e.column && p.timestamp == timestamp && p.tag == tag &&
        (!exact || (p.intensity == e.intensity && nearlyEqual(p.distance, e.distance) && nearlyEqual(p.x, e.x) &&
                    nearlyEqual(p.y, e.y * sign) && nearlyEqual(p.z, e.z * sign))))
        return std::string();
    std::ostringstream m;  // row, column, distance, intensity, x, y, z, timestamp, tag
    m << "at " << e.row << "," << e.column << " got " << p.row << "," << p.column << " " << p.distance << " "
      << p.intensity << " " << p.x << "," << p.y << "," << p.z << " " << p.timestamp << " " << p.tag << ", sent "
      << e.distance << " " << e.intensity << " " << e.x << "," << e.y * sign << "," << e.z * sign << " " << timestamp
      << " " << tag;
    return m.str();
}

}  // namespace

::testing::AssertionResult framesAgree(const Frame& got, const orbsim::SentFrame& sent, bool inverted, int axisSign,
                                       const Frame* secondEcho) {
    const bool dual = sent.dataType == 13;
    const float sign = sent.format == 10 || sent.format == 22 ? static_cast<float>(axisSign) : 1.0f;
    std::size_t checked = 0;
    for (int echo = 0; echo < (dual && secondEcho ? 2 : 1); ++echo) {
        for (const orbsim::ExpectedPoint& e : echo ? sent.second : sent.first) {
            if (!e.delivered) continue;
            const ZelOrbPointData& p = (echo ? *secondEcho : got)[landingIndex(e.row, e.column, inverted, dual)];
            ++checked;
            const std::string why = pointDiff(p, e, sent.timestamp, sent.tag, sign, true);
            if (!why.empty()) return ::testing::AssertionFailure() << "echo " << echo << " " << why;
        }
    }
    if (checked == 0) return ::testing::AssertionFailure() << "no delivered point to compare";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult receiveAndCompare(const std::string& ip, const orbsim::SentFrame& sent, bool inverted) {
    const bool dual = sent.dataType == 13;
    Frame first, second;
    const auto deadline = Clock::now() + 3s;
    while (Clock::now() < deadline) {
        if (!pollFrame(ip, first, 50ms, dual ? &second : nullptr)) continue;
        if (first[landingIndex(0, 0, inverted, dual)].timestamp != sent.timestamp) continue;
        return framesAgree(first, sent, inverted, inverted ? -1 : 1, dual ? &second : nullptr);
    }
    return ::testing::AssertionFailure() << "frame " << sent.index << " never arrived";
}

orbsim::CameraOptions streamingCamera(int k, std::uint16_t hostPort, double frameRate, std::uint8_t pointFormat) {
    orbsim::CameraOptions o;
    o.deviceIp = deviceIp(k);
    orbsim::StreamerOptions s;
    s.hostIp = kHost;
    s.hostPort = hostPort;
    s.frameRate = frameRate;
    s.pointFormat = pointFormat;
    s.paceWithinFrame = true;
    // Rendering a moving scene and logging every frame of many cameras costs
    // the sanitized builds most of their time: there each camera's scene is
    // rendered once (frames then differ in tag and timestamp only).
    s.keepFrames = kSanitized ? 0 : 16;
    s.staticScene = kSanitized;
    o.pointCloud = s;
    o.scene = orbsim::makeApproachingObjectScene(700.0 + 25.0 * k, 160.0, 600.0 - 10.0 * k, 7.0, 100.0);
    return o;
}

std::unique_ptr<orbsim::Camera> startCamera(const orbsim::CameraOptions& o) {
    auto cam = std::make_unique<orbsim::Camera>(o);
    std::string why;
    EXPECT_TRUE(cam->start(&why)) << o.deviceIp << ": " << why;
    return cam;
}

FrameCheck checkFrame(const Frame& got, const SentLookup& lookup, std::uint64_t framesSent, bool exact) {
    FrameCheck r;
    std::shared_ptr<const orbsim::SentFrame> sent;
    std::uint64_t sentFor = ~std::uint64_t{0};
    for (std::size_t i = 0; i < got.size(); ++i) {
        const ZelOrbPointData& p = got[i];
        if (p.timestamp == 0 && p.tag == 0 && p.distance == 0 && p.intensity == 0 && p.x == 0 && p.y == 0 && p.z == 0)
            continue;  // never written
        if (static_cast<std::size_t>(p.row) * ZEL_ORB_FRAME_COLS + p.column != i || p.timestamp > framesSent) {
            r.error = "point " + std::to_string(i) + " names frame " + std::to_string(p.timestamp);
            return r;
        }
        r.newest = std::max<std::uint64_t>(r.newest, p.timestamp);
        if (sentFor != p.timestamp) {  // points of one frame come together: look up once
            sent = lookup(p.timestamp);
            sentFor = p.timestamp;
        }
        if (!sent) continue;  // a frame no longer known
        ++r.points;
        // The simulator tags each frame with its index modulo 256.
        r.error = pointDiff(p, sent->first[i], p.timestamp, p.timestamp & 0xFF, 1.0f, exact);
        if (!r.error.empty()) return r;
    }
    return r;
}

namespace {

// The points every frame of a static scene carries (tag and timestamp aside).
std::shared_ptr<const orbsim::SentFrame> staticFrame(const orbsim::Camera& cam) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<const orbsim::SentFrame>> cache;
    const orbsim::StreamerOptions& o = *cam.options().pointCloud;
    std::lock_guard<std::mutex> lk(mutex);
    // A camera's scene and format follow from its address (streamingCamera).
    auto& slot = cache[cam.deviceIp() + "/" + std::to_string(o.pointFormat)];
    if (!slot) {
        orbsim::SceneFrame render;
        cam.options().scene->render(0, render);
        auto enc = std::make_shared<orbsim::EncodedFrame>(orbsim::encodeFrame(render, o.dataType, o.pointFormat, 0, 0));
        slot = std::shared_ptr<const orbsim::SentFrame>(enc, &enc->expected);
    }
    return slot;
}

}  // namespace

FrameCheck checkFrame(const Frame& got, const orbsim::Camera& cam, bool exact) {
    const orbsim::PointCloudStreamer& streamer = *cam.pointCloud();
    if (streamer.options().keepFrames == 0) {
        const auto frame = staticFrame(cam);
        return checkFrame(got, [&](std::uint64_t) { return frame; }, streamer.framesSent(), exact);
    }
    return checkFrame(got, [&](std::uint64_t index) { return streamer.sentFrame(index); }, streamer.framesSent(),
                      exact);
}

}  // namespace orbtest
