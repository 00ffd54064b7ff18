// Six-axis records from the point-cloud stream reach the registered callback
// with the timestamp divided by 1,000,000.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "camera.h"
#include "orb_sdk.h"

namespace {

constexpr const char* kHost = "127.0.0.1";
constexpr const char* kDev = "127.0.0.2";
constexpr std::int32_t kHostPort = 6001;

std::atomic<int> gCalls{0};
std::atomic<int> gBad{0};
void sixAxisCallback(ZelOrb6AxisImuData d) {
    // The simulator sends record n with device time (n + 1) * 1e6 and data
    // bytes n, n + 1, ...
    if (d.check != 1 || static_cast<std::uint8_t>(d.timestamp - 1) != d.data[0] ||
        static_cast<std::uint8_t>(d.data[0] + 25) != d.data[25])
        gBad.fetch_add(1);
    // Re-registering from inside would wait for the stream mutex: refused.
    if (ZelOrbRegisterCallbackUpdate6AxisImuData(kDev, sixAxisCallback) != RC_GENERAL_ERROR) gBad.fetch_add(1);
    gCalls.fetch_add(1);
}

TEST(SixAxisImu, RecordsArriveDividedAndChecked) {
    ASSERT_EQ(ZelOrbInit(), 0);
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, kHostPort), RC_OK);
    orbsim::CameraOptions o;
    o.deviceIp = kDev;
    orbsim::StreamerOptions so;
    so.hostPort = kHostPort;
    so.frameRate = 5;
    so.sixAxisRate = 200;
    o.pointCloud = so;
    auto cam = std::make_unique<orbsim::Camera>(o);
    std::string err;
    ASSERT_TRUE(cam->start(&err)) << err;
    ASSERT_EQ(ZelOrbConnectDevice(kDev, 6301), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData(kDev, sixAxisCallback), RC_OK);
    for (int i = 0; i < 300 && gCalls.load() < 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(gCalls.load(), 20);
    EXPECT_EQ(gBad.load(), 0);
    ZelOrbDisconnectAllDevice();
    cam.reset();
    ZelOrbStopReceiveData();
    ZelOrbDeinit();
}

}  // namespace
