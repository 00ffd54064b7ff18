// Nine-axis IMU stream end to end: the simulated camera sends frames to the
// IMU socket of a connected device (host 127.0.0.1, device 127.0.0.2).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "camera.h"
#include "device/device.h"
#include "device/connection.h"
#include "device/context.h"
#include "imu_rgb/imu_rgb_state.h"
#include "imu_sender.h"
#include "orb_sdk.h"
#include "support/thread_launch_seam.h"

namespace {

constexpr const char* kHost = "127.0.0.1";
constexpr const char* kDev = "127.0.0.2";

template <class Pred>
bool eventually(Pred pred, int attempts = 200, int stepMs = 10) {
    for (int i = 0; i < attempts; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return pred();
}

class ImuStream : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, 6001), RC_OK);
    }
    static void TearDownTestSuite() {
        ZelOrbStopReceiveData();
        ZelOrbDeinit();
    }
    void SetUp() override {
        orbsim::CameraOptions o;
        o.deviceIp = kDev;
        cam = std::make_unique<orbsim::Camera>(o);
        sender = &cam->attach("imu", std::make_unique<orbsim::ImuSender>(cam->store(), 0.0));
        std::string err;
        ASSERT_TRUE(cam->start(&err)) << err;
        ASSERT_EQ(ZelOrbConnectDevice(kDev, 6301), RC_OK);
        ASSERT_TRUE(cam->store()->handshake().received);
    }
    void TearDown() override {
        ZelOrbDisconnectAllDevice();
        cam.reset();
    }
    // Sends s once and polls until it arrives (the IMU socket queues it
    // even before the thread first reads); earlier samples are passed over.
    bool pollAfterSending(const orbsim::ImuSample& s, ZelOrb9AxisImuData& out) {
        if (!sender->sendSample(s)) return false;
        for (int i = 0; i < 100; ++i)
            if (ZelOrbGet9AxisImu(kDev, &out) == RC_OK && out.seconds == s.seconds &&
                out.microseconds == s.microseconds)
                return true;
        return false;
    }

    std::unique_ptr<orbsim::Camera> cam;
    orbsim::ImuSender* sender = nullptr;
};

TEST_F(ImuStream, SampleIsHandedToPollingOnce) {
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    orbsim::ImuSample s = orbsim::imuSampleFor(1234);
    s.seconds = 0x0000123456789ABCull;
    ZelOrb9AxisImuData out{};
    ASSERT_TRUE(pollAfterSending(s, out));
    EXPECT_EQ(out.seconds, s.seconds);
    EXPECT_EQ(out.microseconds, s.microseconds);
    for (int i = 0; i < 9; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &out.axis[i], 4);
        EXPECT_EQ(bits, s.axisBits[i]);
    }
    ZelOrb9AxisImuData again{};
    again.seconds = 5;
    EXPECT_EQ(ZelOrbGet9AxisImu(kDev, &again), RC_IMU_GET_FAILED);
    EXPECT_EQ(again.seconds, 5u) << "record untouched";

    // Bad datagrams never publish a sample.
    orbsim::wire::Bytes frame = orbsim::encodeImuFrame(s);
    sender->sendRaw(orbsim::wire::Bytes(frame.begin(), frame.begin() + 57));
    orbsim::wire::Bytes badTail = frame;
    badTail.back() ^= 1;
    sender->sendRaw(badTail);
    sender->sendRaw(orbsim::wire::Bytes(100, 0x42));
    EXPECT_EQ(ZelOrbGet9AxisImu(kDev, &again), RC_IMU_GET_FAILED);
    EXPECT_EQ(ZelOrbStopDevice9AxisImuStream(kDev), RC_OK);
}

TEST_F(ImuStream, StopRestartAndArgumentChecks) {
    EXPECT_EQ(ZelOrbStopDevice9AxisImuStream(kDev), RC_OK) << "never started";
    EXPECT_EQ(ZelOrbStartDevice9AxisImuStream("127.0.0.9"), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbStopDevice9AxisImuStream("127.0.0.9"), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbGet9AxisImu("127.0.0.9", nullptr), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbGet9AxisImu(nullptr, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGet9AxisImu(kDev, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbStartDevice9AxisImuStream(nullptr), RC_INVALID_TARGET);

    orbtest::failNextThreadLaunches(1);
    EXPECT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_IMU_START_FAILED);
    ZelOrb9AxisImuData out{};
    sender->sendSample(orbsim::imuSampleFor(1));
    EXPECT_EQ(ZelOrbGet9AxisImu(kDev, &out), RC_IMU_GET_FAILED) << "no thread, no sample";

    // A restart replaces the running thread; samples flow again.
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    ASSERT_TRUE(pollAfterSending(orbsim::imuSampleFor(2), out));
    ASSERT_EQ(ZelOrbStopDevice9AxisImuStream(kDev), RC_OK);
    sender->sendSample(orbsim::imuSampleFor(3));
    EXPECT_EQ(ZelOrbGet9AxisImu(kDev, &out), RC_IMU_GET_FAILED) << "stopped: nothing received";
}

std::atomic<int> gImuCalls{0};
std::atomic<int> gNestedResult{0};
std::atomic<std::uint64_t> gLastSeconds{0};
void countingImuCallback(ZelOrb9AxisImuData d) {
    gLastSeconds = d.seconds;
    // The callback holds no library lock: polling and registering work from
    // inside; stopping would wait for this very thread and is refused.
    ZelOrb9AxisImuData tmp{};
    const int a = ZelOrbGet9AxisImu(kDev, &tmp);
    const int b = ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, countingImuCallback);
    const int c = ZelOrbStopDevice9AxisImuStream(kDev);
    const int e = ZelOrbStartDevice9AxisImuStream(kDev);
    const bool ok = a == RC_OK && tmp.seconds == d.seconds && b == RC_OK && c == RC_GENERAL_ERROR &&
                    e == RC_GENERAL_ERROR;
    gNestedResult = ok ? 1 : -1;
    gImuCalls.fetch_add(1);
}
void otherImuCallback(ZelOrb9AxisImuData) {}

TEST_F(ImuStream, CallbackGetsEverySampleAndCallsFromInside) {
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, nullptr), RC_CALLBACK_REGISTER_FAILED);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData("127.0.0.9", countingImuCallback), RC_DEVICE_NOT_FOUND);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, countingImuCallback), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, nullptr), RC_CALLBACK_REGISTER_FAILED);
    gImuCalls = 0;
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    sender->setRate(500.0);
    EXPECT_TRUE(eventually([] { return gImuCalls.load() >= 20; })) << "the null registration kept the callback";
    EXPECT_EQ(gNestedResult.load(), 1);
    EXPECT_GE(gLastSeconds.load(), 1000u);
    sender->setRate(0.0);
    // Replacing the callback stops the old one being called.
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, otherImuCallback), RC_OK);
    const int before = gImuCalls.load();
    for (int i = 0; i < 5; ++i) sender->sendSample(orbsim::imuSampleFor(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(gImuCalls.load(), before);
}

TEST_F(ImuStream, SixAxisRegistration) {
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData(kDev, nullptr), RC_CALLBACK_REGISTER_FAILED);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData("127.0.0.9", [](ZelOrb6AxisImuData) {}), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData(nullptr, [](ZelOrb6AxisImuData) {}), RC_INVALID_TARGET);
    auto cb = [](ZelOrb6AxisImuData) {};
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData(kDev, cb), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData(kDev, nullptr), RC_CALLBACK_REGISTER_FAILED);
    auto& reg = orb::libraryContext().registry;
    std::shared_lock<std::shared_mutex> lock(reg.mutex());
    orb::DeviceRecord* dev = reg.find(kDev);
    ASSERT_NE(dev, nullptr);
    std::lock_guard<std::mutex> lk(dev->stream.streamMutex);
    EXPECT_EQ(dev->stream.sixAxisCallback, static_cast<ZelOrb6AxisImuCallback>(cb));
}

// A connection setup that replaces the sockets of a known device pauses the
// streams first and restarts them on the new sockets afterwards.
TEST_F(ImuStream, StreamsFollowTheSocketsOfANewConnectionSetup) {
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    ZelOrb9AxisImuData out{};
    ASSERT_TRUE(pollAfterSending(orbsim::imuSampleFor(1), out));
    const std::uint16_t oldPort = cam->store()->handshake().dataPort;
    // A reconnect replaces the sockets; the running stream moves with them.
    ASSERT_EQ(ZelOrbConnectDevice(kDev, 6301), RC_DEVICE_EXISTS);
    ASSERT_NE(cam->store()->handshake().dataPort, oldPort);
    ASSERT_TRUE(pollAfterSending(orbsim::imuSampleFor(2), out)) << "samples to the new IMU port arrive";
    {
        auto& reg = orb::libraryContext().registry;
        std::shared_lock<std::shared_mutex> lock(reg.mutex());
        orb::DeviceRecord* dev = reg.find(kDev);
        ASSERT_NE(dev, nullptr);
        EXPECT_TRUE(dev->imuRgb.imuFlags->run.load());
        EXPECT_FALSE(dev->imuRgb.rgbRecvFlags->run.load());  // not started, not started by the reconnect
    }
}

std::atomic<bool> gBlockEntered{false};
std::atomic<bool> gBlockRelease{false};
std::atomic<std::int32_t> gStartAfterRelease{0};
std::atomic<std::int32_t> gStopAfterRelease{0};
void blockingImuCallback(ZelOrb9AxisImuData) {
    gBlockEntered = true;
    for (int i = 0; i < 1000 && !gBlockRelease.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // By now the device record may be gone: both are refused from inside the
    // callback without reading it (the sanitized build catches a read).
    gStartAfterRelease = ZelOrbStartDevice9AxisImuStream(kDev);
    gStopAfterRelease = ZelOrbStopDevice9AxisImuStream(kDev);
}

// A callback that outlasts the 2 s stop limit: disconnection returns, and the
// state the thread still uses stays alive until the thread has ended.
TEST_F(ImuStream, TeardownKeepsTheStateOfAThreadStuckInItsCallback) {
    gBlockEntered = false;
    gBlockRelease = false;
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, blockingImuCallback), RC_OK);
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    std::weak_ptr<orb::ImuShared> shared;
    {
        auto& reg = orb::libraryContext().registry;
        std::shared_lock<std::shared_mutex> lock(reg.mutex());
        shared = reg.find(kDev)->imuRgb.imu;
    }
    ASSERT_TRUE(eventually([&] {
        sender->sendSample(orbsim::imuSampleFor(1));
        return gBlockEntered.load();
    }));
    EXPECT_EQ(ZelOrbDisconnectDevice(kDev), RC_OK) << "returns after the 2 s stop limit";
    EXPECT_FALSE(shared.expired()) << "the stuck thread still holds its state";
    gBlockRelease = true;
    EXPECT_TRUE(eventually([&] { return shared.expired(); }));
    EXPECT_EQ(gStartAfterRelease.load(), RC_GENERAL_ERROR) << "the callback outlived its record";
    EXPECT_EQ(gStopAfterRelease.load(), RC_GENERAL_ERROR);
}

}  // namespace
