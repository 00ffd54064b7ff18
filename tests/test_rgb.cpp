// RGB stream end to end: the simulated camera sends the test pattern as
// fragments to the data socket of a connected device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "camera.h"
#include "device/device.h"
#include "device/context.h"
#include "imu_rgb/imu_rgb_state.h"
#include "imu_rgb/rgb_stream.h"
#include "orb_sdk.h"
#include "support/thread_launch_seam.h"
#include "rgb_sender.h"

namespace {

constexpr const char* kHost = "127.0.0.1";
constexpr const char* kDev = "127.0.0.2";
constexpr std::uint16_t kQueryRgbRotation = 0x0337;
constexpr std::uint16_t kQueryIntrinsics = 0x032A;

template <class Pred>
bool eventually(Pred pred, int attempts = 300, int stepMs = 10) {
    for (int i = 0; i < attempts; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return pred();
}

cv::Vec3b pixel(const ZelOrbRgbData& r, int row, int col) {
    const std::uint8_t* p = r.data + (static_cast<std::size_t>(row) * 1600 + col) * 3;
    return {p[0], p[1], p[2]};
}

bool near(const cv::Vec3b& a, const cv::Vec3b& b, int tol = 8) {
    for (int c = 0; c < 3; ++c)
        if (std::abs(int(a[c]) - int(b[c])) > tol) return false;
    return true;
}

class RgbStream : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, 6001), RC_OK);
    }
    static void TearDownTestSuite() {
        ZelOrbStopReceiveData();
        ZelOrbDeinit();
    }
    // The rotation code is read at connection.
    void connect(std::uint8_t rotation, std::uint8_t format) {
        orbsim::CameraOptions o;
        o.deviceIp = kDev;
        cam = std::make_unique<orbsim::Camera>(o);
        orbsim::RgbSenderOptions ro;
        ro.rateHz = 0.0;
        ro.format = format;
        ro.maxPayload = 8000;  // the flat JPEG pattern still makes several fragments
        sender = &cam->attach("rgb", std::make_unique<orbsim::RgbSender>(cam->store(), ro));
        cam->store()->setPayload(kQueryRgbRotation, {rotation});
        std::string err;
        ASSERT_TRUE(cam->start(&err)) << err;
        ASSERT_EQ(ZelOrbConnectDevice(kDev, 6301), RC_OK);
        ASSERT_TRUE(cam->store()->handshake().received);
    }
    void TearDown() override {
        ZelOrbDisconnectAllDevice();
        cam.reset();
    }
    // Sends frame id once and polls until an image comes.
    bool sendAndGet(std::uint32_t id, ZelOrbRgbData& out) {
        if (!sender->sendFrame(id)) return false;
        for (int i = 0; i < 15; ++i)
            if (ZelOrbGetRgb(kDev, &out) == RC_OK) return true;
        return false;
    }

    std::unique_ptr<orbsim::Camera> cam;
    orbsim::RgbSender* sender = nullptr;
};

TEST_F(RgbStream, JpegFrameIsPublishedOnceWithItsHeader) {
    connect(0, orbsim::kRgbJpeg);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    ZelOrbRgbData rec{};
    ASSERT_TRUE(sendAndGet(17, rec));
    EXPECT_EQ(+rec.frame_id, 17u);
    EXPECT_EQ(+rec.seconds, 17u);
    EXPECT_EQ(+rec.microseconds, 170u);
    EXPECT_EQ(+rec.width, 1600u);
    EXPECT_EQ(+rec.height, 1200u);
    EXPECT_EQ(+rec.channels, 3u);
    ASSERT_EQ(+rec.size, 5760000u);
    ASSERT_NE(+rec.data, nullptr);
    for (auto [r, c] : {std::pair{100, 100}, {100, 1500}, {1100, 100}, {1100, 1500}, {600, 800}})
        EXPECT_TRUE(near(pixel(rec, r, c), orbsim::testPatternColor(r, c))) << r << "," << c;

    ZelOrbRgbData again{};
    again.frame_id = 4242;
    EXPECT_EQ(ZelOrbGetRgb(kDev, &again), RC_RGB_GET_FAILED);
    EXPECT_EQ(+again.frame_id, 4242u) << "record untouched";
    EXPECT_EQ(ZelOrbStopDeviceRgbStream(kDev), RC_OK);
}

TEST_F(RgbStream, Nv12WithTheConnectionsRotationCode) {
    connect(1, orbsim::kRgbNv12);  // a 180-degree turn
    EXPECT_TRUE(ZelGetDeviceRgbRotation(kDev));
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    ZelOrbRgbData rec{};
    ASSERT_TRUE(sendAndGet(3, rec));
    ASSERT_EQ(+rec.size, 5760000u);
    EXPECT_TRUE(near(pixel(rec, 100, 100), orbsim::testPatternColor(1099, 1499)));
    EXPECT_TRUE(near(pixel(rec, 1100, 1500), orbsim::testPatternColor(99, 99)));
    EXPECT_TRUE(near(pixel(rec, 100, 1500), orbsim::testPatternColor(1099, 99)));
}

TEST_F(RgbStream, FaultyFragmentsPublishNothingAndGoodOnesStillPass) {
    connect(0, orbsim::kRgbJpeg);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    ZelOrbRgbData rec{};
    orbsim::RgbFaults tolerated;
    tolerated.garbageBeforeHead = 9;
    tolerated.pairs = true;
    sender->setFaults(tolerated);
    ASSERT_TRUE(sendAndGet(1, rec)) << "garbage before the head, two fragments per datagram";
    EXPECT_EQ(+rec.frame_id, 1u);

    const orbsim::RgbFaults broken[] = {
        [] { orbsim::RgbFaults f; f.dropFragment = 1; return f; }(),
        [] { orbsim::RgbFaults f; f.reorder = true; return f; }(),
        [] { orbsim::RgbFaults f; f.truncateFragment = 2; return f; }(),
        [] { orbsim::RgbFaults f; f.wrongTailFragment = 2; return f; }(),
        [] { orbsim::RgbFaults f; f.changeIdFrom = 2; return f; }(),
    };
    ASSERT_GE(orbsim::fragmentFrame(orbsim::encodeJpeg(orbsim::makeTestPattern()), 0, 1, 0, 0, 8000).size(), 3u);
    std::uint32_t id = 10;
    for (const auto& f : broken) {
        sender->setFaults(f);
        ASSERT_TRUE(sender->sendFrame(id));
        id += 2;
    }
    sender->setFaults({});
    // The next clean frame is the one that arrives.
    ASSERT_TRUE(sendAndGet(100, rec));
    EXPECT_EQ(+rec.frame_id, 100u);
}

std::atomic<int> gRgbCalls{0};
std::atomic<int> gRgbNested{0};
std::atomic<std::uint64_t> gRgbSize{0};
void countingRgbCallback(ZelOrbRgbData d) {
    gRgbSize = d.size;
    // No library lock is held here: the image can be taken and settings
    // changed; stopping or restarting would wait for this very thread.
    ZelOrbRgbData tmp{};
    const bool ok = ZelOrbGetRgb(kDev, &tmp) == RC_OK && tmp.frame_id == d.frame_id &&
                    ZelOrbRegisterCallbackUpdateRgb(kDev, countingRgbCallback) == RC_OK &&
                    ZelOrbSetRgbUndistortion(kDev, false) == RC_OK &&
                    ZelOrbStopDeviceRgbStream(kDev) == RC_GENERAL_ERROR &&
                    ZelOrbStartDeviceRgbStream(kDev) == RC_GENERAL_ERROR;
    gRgbNested = ok ? 1 : -1;
    gRgbCalls.fetch_add(1);
}

TEST_F(RgbStream, CallbackAtTheSendersRateAndCallsFromInside) {
    connect(0, orbsim::kRgbJpeg);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, nullptr), RC_CALLBACK_REGISTER_FAILED);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, countingRgbCallback), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, nullptr), RC_CALLBACK_REGISTER_FAILED);
    gRgbCalls = 0;
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    sender->setRate(20.0);
    EXPECT_TRUE(eventually([] { return gRgbCalls.load() >= 5; }));
    sender->setRate(0.0);
    EXPECT_EQ(gRgbNested.load(), 1);
    EXPECT_EQ(gRgbSize.load(), 5760000u);
}

TEST_F(RgbStream, UndistortionUsesTheDevicesIntrinsics) {
    connect(0, orbsim::kRgbNv12);
    const float intr[10] = {700, 705, 790, 610, 0.05f, 0.01f, -0.002f, 0.0005f, 0, 0};
    std::vector<double> values(intr, intr + 10);
    cam->store()->setIntrinsics(values);
    ASSERT_EQ(ZelOrbSetRgbUndistortion(kDev, true), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    ZelOrbRgbData rec{};
    ASSERT_TRUE(sendAndGet(5, rec));

    cv::Mat decoded;
    ASSERT_EQ(orb::decodeRgbFrame(orb::kRgbFormatNv12, orbsim::encodeNv12(orbsim::makeTestPattern()), decoded),
              orb::RgbDecode::Image);
    cv::Matx33f K(intr[0], 0, intr[2], 0, intr[1], intr[3], 0, 0, 1);
    cv::Vec4f D(intr[4], intr[5], intr[6], intr[7]);
    cv::Mat m1, m2, want;
    cv::fisheye::initUndistortRectifyMap(K, D, cv::Mat::eye(3, 3, CV_64F), K, decoded.size(), CV_16SC2, m1, m2);
    cv::remap(decoded, want, m1, m2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    const cv::Mat got(1200, 1600, CV_8UC3, rec.data);
    EXPECT_EQ(cv::norm(got, want, cv::NORM_INF), 0.0);

    // Switching off works without the device; switching on needs its answer.
    orbsim::Fault silent;
    silent.silent = true;
    cam->responder().setFaultAll(silent);
    EXPECT_EQ(ZelOrbSetRgbUndistortion(kDev, false), RC_OK);
    cam->responder().clearFaults();
    ASSERT_EQ(ZelOrbSetRgbUndistortion(kDev, true), RC_OK);
    orbsim::Fault refused;
    refused.status = 5;
    cam->responder().setFault(kQueryIntrinsics, refused);
    EXPECT_EQ(ZelOrbSetRgbUndistortion(kDev, true), RC_GENERAL_ERROR);
    cam->responder().clearFaults();
    ASSERT_TRUE(sendAndGet(6, rec));
    const cv::Mat plain(1200, 1600, CV_8UC3, rec.data);
    EXPECT_EQ(cv::norm(plain, decoded, cv::NORM_INF), 0.0) << "a failed enable leaves undistortion off";
}

TEST_F(RgbStream, StartFailureStopAndArguments) {
    connect(0, orbsim::kRgbJpeg);
    EXPECT_EQ(ZelOrbStopDeviceRgbStream(kDev), RC_OK) << "never started";
    EXPECT_EQ(ZelOrbStartDeviceRgbStream("127.0.0.9"), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbGetRgb("127.0.0.9", nullptr), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbGetRgb(kDev, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetRgb(nullptr, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetRgbUndistortion("127.0.0.9", false), RC_DEVICE_NOT_FOUND);
    EXPECT_FALSE(ZelGetDeviceRgbRotation(kDev));

    orbtest::failNextThreadLaunches(1);
    EXPECT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_RGB_START_FAILED);
    orbtest::failNextThreadLaunches(0);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    ZelOrbRgbData rec{};
    ASSERT_TRUE(sendAndGet(1, rec));
    ASSERT_EQ(ZelOrbStopDeviceRgbStream(kDev), RC_OK);
    ASSERT_TRUE(sender->sendFrame(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ZelOrbGetRgb(kDev, &rec), RC_RGB_GET_FAILED) << "stopped: nothing processed";
}

std::atomic<bool> gRgbBlockEntered{false};
std::atomic<bool> gRgbBlockRelease{false};
void blockingRgbCallback(ZelOrbRgbData) {
    gRgbBlockEntered = true;
    for (int i = 0; i < 1000 && !gRgbBlockRelease.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST_F(RgbStream, TeardownKeepsTheStateOfAThreadStuckInItsCallback) {
    connect(0, orbsim::kRgbJpeg);
    gRgbBlockEntered = false;
    gRgbBlockRelease = false;
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, blockingRgbCallback), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    std::weak_ptr<orb::RgbShared> shared;
    {
        auto& reg = orb::libraryContext().registry;
        std::shared_lock<std::shared_mutex> lock(reg.mutex());
        shared = reg.find(kDev)->imuRgb.rgb;
    }
    ASSERT_TRUE(sender->sendFrame(1));
    ASSERT_TRUE(eventually([] { return gRgbBlockEntered.load(); }));
    // Reception goes on while the callback blocks processing.
    ASSERT_TRUE(sender->sendFrame(2));
    EXPECT_EQ(ZelOrbDisconnectDevice(kDev), RC_OK);
    EXPECT_FALSE(shared.expired());
    gRgbBlockRelease = true;
    EXPECT_TRUE(eventually([&] { return shared.expired(); }));
}

}  // namespace
