// Host filters on frames delivered from the simulated camera over loopback
// (host 127.0.0.1, device 127.0.0.2): distance window, compensation with the
// offsets read from the device, intensity table, and the pipeline exports.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "command_responder.h"
#include "device/device.h"
#include "device/context.h"
#include "orb_sdk.h"
#include "pointcloud_streamer.h"
#include "scene.h"
#include "settings_store.h"
#include "support/stream_harness.h"
#include "wire_sim.h"

namespace {

using namespace std::chrono_literals;
using orbtest::Frame;

constexpr const char* kHost = "127.0.0.1";
constexpr const char* kIp = "127.0.0.2";
constexpr std::uint16_t kPort = 16401;
constexpr std::uint16_t kGetDistanceOffset = 0x033B;
constexpr std::uint16_t kGetCalibrationOffset = 0x033C;

orbsim::StreamerOptions Options(double loss = 0) {
    orbsim::StreamerOptions o;
    o.deviceIp = kIp;
    o.sourcePort = 6301;
    o.hostIp = kHost;
    o.hostPort = kPort;
    o.pointFormat = 10;
    o.keepFrames = 16;
    o.staticScene = true;
    o.faults.loss = loss;
    o.faults.seed = 5;
    return o;
}

// A wall at 400 with a box at 200 to 260 in front of it, intensity falling
// with distance: every filter has points on both sides of its bounds.
orbsim::ScenePtr Scene() { return orbsim::withIntensityFalloff(orbsim::makeBoxScene(400, orbsim::BoxSpec{}), 200, 200); }

std::vector<std::uint8_t> U32(std::uint32_t v) {
    return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

class FiltersE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
        store_ = std::make_shared<orbsim::SettingsStore>(kIp);
        responder_ = std::make_unique<orbsim::CommandResponder>(store_, orbsim::ResponderOptions{});
        std::string error;
        ASSERT_TRUE(responder_->start(&error)) << error;
        ASSERT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_OK);
    }
    static void TearDownTestSuite() {
        ZelOrbDisconnectDevice(kIp);
        ZelOrbStopReceiveData();
        if (responder_) responder_->stop();
        responder_.reset();
        store_.reset();
    }
    void SetUp() override {
        ASSERT_NE(responder_, nullptr);
        responder_->clearFaults();
        store_->loadDefaults();
        ASSERT_EQ(ZelOrbSetDistanceFiltering(kIp, false, 0, 100), RC_OK);
        ASSERT_EQ(ZelOrbSetDistanceCompensationEnabled(kIp, false), RC_OK);
        const double d[] = {2.5, 4.5, 10.0};
        const double i[] = {13.0, 4.0, 2.0};
        ASSERT_EQ(ZelOrbSetIntensityFiltering(kIp, false, d, i, 3), RC_OK);
        ASSERT_EQ(ZelOrbSetSpatialFilter(kIp, false, 5), RC_OK);
        ASSERT_EQ(ZelOrbSetTimeMedianFilter(kIp, false, 5, 100), RC_OK);
        ASSERT_EQ(ZelOrbSetFlyingFilter(kIp, false, 300), RC_OK);
        sim_ = std::make_unique<orbsim::PointCloudStreamer>(Options(), Scene());
    }

    // Sends frame k and the next (whose first packet closes k), then polls
    // until frame k is delivered. Each call uses fresh frame indices.
    ::testing::AssertionResult Deliver(Frame& got, std::shared_ptr<const orbsim::SentFrame>& sent) {
        const std::uint64_t k = next_;
        next_ += 2;
        if (!sim_->sendFrameNow(k) || !sim_->sendFrameNow(k + 1)) return ::testing::AssertionFailure() << "send";
        sent = sim_->sentFrame(k);
        if (!sent) return ::testing::AssertionFailure() << "no record of frame " << k;
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!orbtest::pollFrame(kIp, got, 50ms)) continue;
            if (got[0].timestamp == sent->timestamp) return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "frame " << k << " never arrived";
    }

    static std::shared_ptr<orbsim::SettingsStore> store_;
    static std::unique_ptr<orbsim::CommandResponder> responder_;
    std::unique_ptr<orbsim::PointCloudStreamer> sim_;
    std::uint64_t next_ = 0;
};

std::shared_ptr<orbsim::SettingsStore> FiltersE2E::store_;
std::unique_ptr<orbsim::CommandResponder> FiltersE2E::responder_;

const ZelOrbPointData& At(const Frame& f, const orbsim::ExpectedPoint& e) { return f[e.row * 360 + e.column]; }

bool Empty(const ZelOrbPointData& p) { return p.x == 0 && p.y == 0 && p.z == 0; }

TEST_F(FiltersE2E, DistanceWindowOnDecodedPoints) {
    ASSERT_EQ(ZelOrbSetDistanceFiltering(kIp, true, 300, 450), RC_OK);
    Frame got;
    std::shared_ptr<const orbsim::SentFrame> sent;
    ASSERT_TRUE(Deliver(got, sent));
    int cleared = 0, kept = 0;
    for (const auto& e : sent->first) {
        const ZelOrbPointData& p = At(got, e);
        EXPECT_EQ(p.distance, e.distance);
        EXPECT_EQ(p.intensity, e.intensity);
        if (e.distance >= 450 || e.distance <= 300) {
            ASSERT_TRUE(Empty(p)) << e.row << "," << e.column << " d " << e.distance;
            ++cleared;
        } else {
            ASSERT_NEAR(p.x, e.x, 1e-3) << e.row << "," << e.column;
            ++kept;
        }
    }
    EXPECT_GT(cleared, 1000);
    EXPECT_GT(kept, 1000);

    ASSERT_EQ(ZelOrbSetDistanceFiltering(kIp, false, 300, 450), RC_OK);
    ASSERT_TRUE(Deliver(got, sent));
    EXPECT_TRUE(orbtest::framesAgree(got, *sent));
}

TEST_F(FiltersE2E, CompensationUsesTheDeviceOffsets) {
    store_->setPayload(kGetDistanceOffset, U32(7));
    store_->setPayload(kGetCalibrationOffset, U32(0xFFFFFFFDu));  // -3
    ASSERT_EQ(ZelOrbSetDistanceCompensationEnabled(kIp, true), RC_OK);
    Frame got;
    std::shared_ptr<const orbsim::SentFrame> sent;
    ASSERT_TRUE(Deliver(got, sent));
    for (const auto& e : sent->first) {
        const ZelOrbPointData& p = At(got, e);
        ASSERT_NEAR(p.x, e.x + 4.0f, 1e-3) << e.row << "," << e.column;
        ASSERT_FLOAT_EQ(p.distance, std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z));
    }

    // A failed read (status 5 on the second) leaves compensation as it was,
    // and both offsets were still asked for.
    store_->setPayload(kGetDistanceOffset, U32(100));
    orbsim::Fault fault;
    fault.status = 5;
    responder_->setFault(kGetCalibrationOffset, fault);
    responder_->clearRequests();
    EXPECT_EQ(ZelOrbSetDistanceCompensationEnabled(kIp, true), RC_GENERAL_ERROR);
    EXPECT_FALSE(responder_->requestsFor(kGetDistanceOffset).empty());
    responder_->clearFaults();
    responder_->setFault(kGetDistanceOffset, fault);
    responder_->clearRequests();
    EXPECT_EQ(ZelOrbSetDistanceCompensationEnabled(kIp, true), RC_GENERAL_ERROR);
    EXPECT_FALSE(responder_->requestsFor(kGetCalibrationOffset).empty());
    responder_->clearFaults();
    ASSERT_TRUE(Deliver(got, sent));
    EXPECT_NEAR(At(got, sent->first[20000]).x, sent->first[20000].x + 4.0f, 1e-3);

    ASSERT_EQ(ZelOrbSetDistanceCompensationEnabled(kIp, false), RC_OK);
    ASSERT_TRUE(Deliver(got, sent));
    EXPECT_TRUE(orbtest::framesAgree(got, *sent));
}

TEST_F(FiltersE2E, CompensationActsOnlyOnFreshlyDecodedPoints) {
    // Lost packets leave positions unfilled; they must keep the last decoded
    // point compensated once, not once more per frame. The scene is static,
    // so every position has one decoded value (or was never filled: 0).
    sim_ = std::make_unique<orbsim::PointCloudStreamer>(Options(0.3), Scene());
    store_->setPayload(kGetDistanceOffset, U32(10));
    ASSERT_EQ(ZelOrbSetDistanceCompensationEnabled(kIp, true), RC_OK);
    ASSERT_TRUE(sim_->sendFrameNow(0));
    const auto reference = sim_->sentFrame(0);
    ASSERT_TRUE(reference);
    int frames = 0;
    std::size_t stale = 0;  // positions a frame did not refill
    for (std::uint64_t k = 1; k <= 12; ++k) {
        ASSERT_TRUE(sim_->sendFrameNow(k));
        Frame got;
        if (!orbtest::pollFrame(kIp, got, 300ms)) continue;
        ++frames;
        std::uint64_t newest = 0;
        for (const auto& p : got) newest = std::max(newest, p.timestamp);
        for (const auto& p : got) stale += p.timestamp != newest;
        for (const auto& e : reference->first) {
            const float x = At(got, e).x;
            ASSERT_TRUE(std::fabs(x - (e.x + 10.0f)) < 1e-3f || x == 10.0f) << "frame " << k << " at " << e.row << "," << e.column
                                                       << ": x " << x << ", decoded " << e.x;
        }
    }
    EXPECT_GE(frames, 4);
    EXPECT_GT(stale, 0u);
}

TEST_F(FiltersE2E, IntensityTableSortedAndApplied) {
    // Given unsorted: stored as (3.0, 150), (5.0, 45).
    const double d[] = {5.0, 3.0};
    const double i[] = {45.0, 150.0};
    ASSERT_EQ(ZelOrbSetIntensityFiltering(kIp, true, d, i, 2), RC_OK);
    Frame got;
    std::shared_ptr<const orbsim::SentFrame> sent;
    ASSERT_TRUE(Deliver(got, sent));
    int cleared = 0, kept = 0;
    for (const auto& e : sent->first) {
        const ZelOrbPointData& p = At(got, e);
        const double r = std::sqrt(double(e.x) * e.x + double(e.y) * e.y + double(e.z) * e.z);
        const bool clear = (r < 300 && e.intensity < 150) || (r >= 300 && r < 500 && e.intensity < 45);
        EXPECT_EQ(p.distance, e.distance);
        if (clear) {
            ASSERT_TRUE(Empty(p) && p.intensity == 0) << e.row << "," << e.column << " r " << r;
            ++cleared;
        } else {
            ASSERT_NEAR(p.x, e.x, 1e-3) << e.row << "," << e.column << " r " << r << " i " << e.intensity;
            ASSERT_EQ(p.intensity, e.intensity);
            ++kept;
        }
    }
    EXPECT_GT(cleared, 1000);
    EXPECT_GT(kept, 1000);

    // Null arrays with a count are refused; the table in force stays.
    EXPECT_EQ(ZelOrbSetIntensityFiltering(kIp, true, nullptr, i, 2), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetIntensityFiltering(kIp, true, d, nullptr, 2), RC_INVALID_TARGET);

    // An empty table: the message for every frame, frames unchanged.
    ASSERT_EQ(ZelOrbSetIntensityFiltering(kIp, true, nullptr, nullptr, 0), RC_OK);
    testing::internal::CaptureStdout();
    const bool delivered = Deliver(got, sent);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(delivered);
    EXPECT_NE(out.find("Distance and intensity thresholds must have the same size\n"), std::string::npos);
    EXPECT_TRUE(orbtest::framesAgree(got, *sent));
}

TEST_F(FiltersE2E, PipelineExportsReachTheDevicePipeline) {
    EXPECT_EQ(ZelOrbSetSpatialFilter(kIp, true, 3), RC_OK);
    EXPECT_EQ(ZelOrbSetTimeMedianFilter(kIp, true, 3, 100), RC_OK);
    EXPECT_EQ(ZelOrbSetFlyingFilter(kIp, true, 300), RC_OK);
    {
        auto& reg = orb::libraryContext().registry;
        std::shared_lock<std::shared_mutex> lock(reg.mutex());
        orb::DeviceRecord* dev = reg.find(kIp);
        ASSERT_NE(dev, nullptr);
        EXPECT_TRUE(dev->stream.filters.pipeline.GetSpatialFilterEnable());
        EXPECT_TRUE(dev->stream.filters.pipeline.GetTimeMedianFilterEnable());
        EXPECT_TRUE(dev->stream.filters.pipeline.GetFlyPixeFilterEnable());
    }
    Frame got;
    std::shared_ptr<const orbsim::SentFrame> sent;
    for (int k = 0; k < 4; ++k) ASSERT_TRUE(Deliver(got, sent));
    // Every point went through the depth image: empty, or x in whole tenths
    // with the other fields as decoded.
    int nonEmpty = 0;
    for (const auto& e : sent->first) {
        const ZelOrbPointData& p = At(got, e);
        EXPECT_EQ(p.distance, e.distance);
        if (Empty(p)) continue;
        ++nonEmpty;
        ASSERT_NEAR(p.x * 10, std::round(p.x * 10), 1e-2) << e.row << "," << e.column;
    }
    EXPECT_GT(nonEmpty, 40000);
    EXPECT_EQ(ZelOrbSetSpatialFilter("127.0.0.9", true, 3), RC_DEVICE_NOT_FOUND);
}

}  // namespace
