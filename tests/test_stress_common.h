// Shared by the stress programs: a fleet of simulated cameras on 127.0.0.2 and
// up, and the check that a delivered frame holds only points that were sent.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera.h"
#include "orb_sdk.h"
#include "pointcloud_streamer.h"
#include "scene.h"

namespace orbstress {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Frame = std::vector<ZelOrbPointData>;
using Rows = ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS];
inline Rows rows(Frame& f) { return reinterpret_cast<Rows>(f.data()); }

constexpr const char* kHost = "127.0.0.1";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitized = true;  // every byte a frame copy moves is checked: far slower
#else
constexpr bool kThreadSanitized = false;
#endif

inline std::string deviceIp(int k) { return "127.0.0." + std::to_string(2 + k); }

// Waits (bounded) until pred holds.
template <class P>
bool eventually(P pred, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A camera streaming a moving scene of its own (the object's distance and
// the wall depend on k), so that points of another frame or another camera
// never pass for this frame's.
inline orbsim::CameraOptions streamingCamera(int k, std::uint16_t hostPort, double frameRate,
                                             std::uint8_t pointFormat = 10) {
    orbsim::CameraOptions o;
    o.deviceIp = deviceIp(k);
    orbsim::StreamerOptions s;
    s.hostIp = kHost;
    s.hostPort = hostPort;
    s.frameRate = frameRate;
    s.pointFormat = pointFormat;
    // Sanitized builds check against the scene's one rendering instead of a
    // log: keeping a copy of every frame's points is costly there.
    s.keepFrames = kSanitized ? 0 : 16;
    s.paceWithinFrame = true;
    // Rendering a moving scene for every frame of many cameras costs the
    // sanitized builds most of their time; there each camera's scene is
    // rendered once (the frames then differ in tag and timestamp only).
    s.staticScene = kSanitized;
    o.pointCloud = s;
    o.scene = orbsim::makeApproachingObjectScene(700.0 + 25.0 * k, 160.0, 600.0 - 10.0 * k, 7.0, 100.0);
    return o;
}

struct FrameCheck {
    std::size_t points = 0;        // written points compared with the log
    std::size_t unverifiable = 0;  // written by a frame already gone from the log
    std::string error;             // first disagreement
    std::uint64_t newest = 0;      // highest frame index seen
};

inline bool nearlyEqual(float a, float b) { return std::fabs(a - b) <= 1e-4f * std::max(1.0f, std::fabs(b)); }

// Every written point of a single-echo, uninverted frame of data type 1 must
// be the point the camera sent at that position in the frame its timestamp
// names (the timestamp is the frame index). With exact = false only the
// position and the frame's existence are checked (filters may move points).
// lookup(index) gives the sent frame or null; framesSent bounds the indices.
template <class Lookup>
FrameCheck checkFrameWith(const Frame& got, Lookup&& lookup, std::uint64_t framesSent, bool exact = true) {
    FrameCheck r;
    std::shared_ptr<const orbsim::SentFrame> sent;
    std::uint64_t sentFor = ~std::uint64_t{0};
    for (std::size_t i = 0; i < got.size(); ++i) {
        const ZelOrbPointData& p = got[i];
        if (p.timestamp == 0 && p.tag == 0 && p.distance == 0 && p.intensity == 0 && p.x == 0 && p.y == 0 &&
            p.z == 0)
            continue;  // never written
        std::ostringstream m;
        if (static_cast<std::size_t>(p.row) * ZEL_ORB_FRAME_COLS + p.column != i) {
            m << "point " << i << " carries position (" << p.row << "," << p.column << ")";
            r.error = m.str();
            return r;
        }
        if (p.timestamp > framesSent) {
            m << "point " << i << " names frame " << p.timestamp << ", only " << framesSent << " sent";
            r.error = m.str();
            return r;
        }
        r.newest = std::max<std::uint64_t>(r.newest, p.timestamp);
        if (sentFor != p.timestamp) {  // points of one frame come together: look up once
            sent = lookup(p.timestamp);
            sentFor = p.timestamp;
        }
        if (!sent) {
            ++r.unverifiable;
            continue;
        }
        ++r.points;
        const orbsim::ExpectedPoint& e = sent->first[i];
        // The simulator tags each frame with its index modulo 256.
        const bool same = p.tag == (p.timestamp & 0xFF) && e.row == p.row && e.column == p.column &&
                          (!exact || (p.intensity == e.intensity && nearlyEqual(p.distance, e.distance) &&
                                      nearlyEqual(p.x, e.x) && nearlyEqual(p.y, e.y) && nearlyEqual(p.z, e.z)));
        if (!same) {
            m << "point " << i << " of frame " << p.timestamp << ": got d " << p.distance << " i " << p.intensity
              << " xyz " << p.x << "," << p.y << "," << p.z << " tag " << p.tag << "; sent d " << e.distance << " i "
              << e.intensity << " xyz " << e.x << "," << e.y << "," << e.z << " tag " << int(sent->tag);
            r.error = m.str();
            return r;
        }
    }
    return r;
}

// The points every frame of a static scene carries (tag and timestamp aside),
// the scene rendered at frame 0 as the streamer renders it.
inline std::shared_ptr<const orbsim::SentFrame> staticFrame(const orbsim::Camera& cam) {
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

// Checks a frame of a streaming camera against its log, or against its
// static scene when it keeps no log.
inline FrameCheck checkFrame(const Frame& got, const orbsim::Camera& cam, bool exact = true) {
    const orbsim::PointCloudStreamer& streamer = *cam.pointCloud();
    if (streamer.options().keepFrames == 0) {
        const auto frame = staticFrame(cam);
        return checkFrameWith(
            got, [&](std::uint64_t) { return frame; }, streamer.framesSent(), exact);
    }
    return checkFrameWith(
        got, [&](std::uint64_t index) { return streamer.sentFrame(index); }, streamer.framesSent(), exact);
}

}  // namespace orbstress
