// Shared by the test programs (and the headers they all need): bounded
// waiting, frame buffers, device records registered without a connection,
// frame polling, and the point-by-point comparison of delivered frames with
// what the simulator sent.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "camera.h"
#include "orb_sdk.h"
#include "pointcloud_streamer.h"
#include "support/bytes.h"

namespace orb {
struct DeviceRecord;
}

namespace orbtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Frame = std::vector<ZelOrbPointData>;  // 54,000 points, row-major
using Rows = ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS];

constexpr const char* kHost = "127.0.0.1";
inline std::string deviceIp(int k) { return "127.0.0." + std::to_string(2 + k); }
inline Frame newFrame() { return Frame(ZEL_ORB_FRAME_POINTS); }
inline Rows rows(Frame& f) {
    f.resize(ZEL_ORB_FRAME_POINTS);
    return reinterpret_cast<Rows>(f.data());
}

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

// Waits (bounded, polling every millisecond) until pred holds.
template <class P>
bool eventually(P pred, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A command fault of the simulated camera, set up by a function.
inline orbsim::Fault fault(const std::function<void(orbsim::Fault&)>& set) {
    orbsim::Fault f;
    set(f);
    return f;
}

// Registers a record for ip without a handshake. With threads, its packet and
// frame threads run as after a connection; without, the test plays them
// (the running flag is set, so publications raise the ready flags).
orb::DeviceRecord& addDevice(const std::string& ip, bool threads = false, std::uint8_t mode = 3,
                             std::int32_t sourcePort = 6301);
// Starts the threads of a record added without them.
void startDeviceThreads(const std::string& ip);
inline bool removeDevice(const std::string& ip) { return ZelOrbDisconnectDevice(ip.c_str()) == RC_OK; }
// Runs f on the record of ip under the shared registry lock; false when absent.
bool withDevice(const std::string& ip, const std::function<void(orb::DeviceRecord&)>& f);

// Polls ZelOrbGetPointCloud (or, with second, the dual-echo call) until a
// frame comes or the time-out passes.
bool pollFrame(const std::string& ip, Frame& out, std::chrono::milliseconds timeout, Frame* second = nullptr);

// Compares every delivered grid point of sent with the host frame (axis sign
// applied to y and z where the format carries it).
::testing::AssertionResult framesAgree(const Frame& got, const orbsim::SentFrame& sent, bool inverted = false,
                                       int axisSign = 1, const Frame* secondEcho = nullptr);
// Polls until the frame whose first grid point carries sent's timestamp
// arrives (older frames may come first), then compares (inverted devices
// have the axis sign -1).
::testing::AssertionResult receiveAndCompare(const std::string& ip, const orbsim::SentFrame& sent,
                                             bool inverted = false);

// A camera streaming a moving scene of its own (the object's distance and
// the wall depend on k), so that points of another frame or another camera
// never pass for this frame's.
orbsim::CameraOptions streamingCamera(int k, std::uint16_t hostPort, double frameRate, std::uint8_t pointFormat = 10);
std::unique_ptr<orbsim::Camera> startCamera(const orbsim::CameraOptions& o);

// The first few failures of worker threads, reported on the test thread.
class Failures {
public:
    void add(const std::string& e) {
        std::lock_guard<std::mutex> lk(m_);
        if (list_.size() < 10) list_.push_back(e);
    }
    void report() {
        std::lock_guard<std::mutex> lk(m_);
        for (const auto& e : list_) ADD_FAILURE() << e;
    }

private:
    std::mutex m_;
    std::vector<std::string> list_;
};

struct FrameCheck {
    std::size_t points = 0;    // written points compared with what was sent
    std::string error;         // first disagreement
    std::uint64_t newest = 0;  // highest frame index seen
};
using SentLookup = std::function<std::shared_ptr<const orbsim::SentFrame>(std::uint64_t)>;
// Every written point of a single-echo, uninverted frame of data type 1 must
// be the point sent at that position in the frame its timestamp names (the
// timestamp is the frame index). With exact = false only the position and
// the frame's existence are checked (filters may move points).
FrameCheck checkFrame(const Frame& got, const SentLookup& lookup, std::uint64_t framesSent, bool exact = true);
// The same against a streaming camera's log, or its static scene when it keeps none.
FrameCheck checkFrame(const Frame& got, const orbsim::Camera& cam, bool exact = true);

}  // namespace orbtest
