// RGB-D fusion end to end: the simulated camera streams a wall 1000 units
// ahead and the RGB test pattern; the library colours the wall's points.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "camera.h"
#include "orb_sdk.h"
#include "rgb_sender.h"
#include "scene.h"

namespace {

constexpr const char* kHost = "127.0.0.1";
constexpr const char* kDev = "127.0.0.2";
constexpr std::int32_t kHostPort = 6001;
constexpr std::uint16_t kQueryExtrinsics = 0x0329;

template <class Pred>
bool eventually(Pred pred, int attempts = 300, int stepMs = 10) {
    for (int i = 0; i < attempts; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return pred();
}

using Frame = std::vector<ZelOrbPointData>;

class Fusion : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, kHostPort), RC_OK);
    }
    static void TearDownTestSuite() {
        ZelOrbStopReceiveData();
        ZelOrbDeinit();
    }
    void SetUp() override {
        orbsim::CameraOptions o;
        o.deviceIp = kDev;
        orbsim::StreamerOptions so;
        so.hostPort = kHostPort;
        so.frameRate = 10;
        so.staticScene = true;
        o.pointCloud = so;
        o.scene = orbsim::makeWallScene(1000.0, 0.0);
        orbsim::RgbSenderOptions ro;
        ro.rateHz = 10;
        ro.format = orbsim::kRgbNv12;
        o.rgb = ro;
        cam = std::make_unique<orbsim::Camera>(o);
        std::string err;
        ASSERT_TRUE(cam->start(&err)) << err;
        ASSERT_EQ(ZelOrbConnectDevice(kDev, 6301), RC_OK);
    }
    void TearDown() override {
        ZelOrbDisconnectAllDevice();
        cam.reset();
    }
    // Waits for a point-cloud frame and an RGB image, so both fusion inputs exist.
    void waitForInputs(Frame& frame) {
        frame.assign(ZEL_ORB_FRAME_POINTS, ZelOrbPointData{});
        auto* rows = reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(frame.data());
        ASSERT_TRUE(eventually([&] { return ZelOrbGetPointCloud(kDev, rows) == RC_OK; }));
        ZelOrbRgbData rgb{};
        ASSERT_TRUE(eventually([&] { return ZelOrbGetRgb(kDev, &rgb) == RC_OK; }, 30, 0));
        // The frame the fusion reads may be a newer one of the same static wall.
    }

    std::unique_ptr<orbsim::Camera> cam;
};

TEST_F(Fusion, RefusesUntilInitialisedAndWithoutAnImage) {
    std::vector<std::uint8_t> buf(162000, 0xEE);
    ZelOrbRgbData out{};
    out.data = buf.data();
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kDev, &out), RC_GET_DATA_FAILED);
    EXPECT_EQ(ZelOrbGetRGBDFusionData("127.0.0.9", &out), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kDev, nullptr), RC_INVALID_TARGET);
    ZelOrbRgbData noData{};
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kDev, &noData), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetRGBDFusionData(nullptr, &out), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbInitRGBDFusionParam("127.0.0.9"), RC_GENERAL_ERROR);
    EXPECT_EQ(ZelOrbInitRGBDFusionParam(nullptr), RC_INVALID_TARGET);

    ASSERT_EQ(ZelOrbInitRGBDFusionParam(kDev), RC_OK);
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kDev, &out), RC_RGB_GET_FAILED) << "no RGB stream yet";
    EXPECT_EQ(+out.size, 0u);
    for (std::uint8_t b : buf) ASSERT_EQ(b, 0xEE);
}

// Direction classes of wall points whose pattern colour is certain.
enum class Region { Centre, TopLeft, BottomRight, Other };
Region regionOf(const ZelOrbPointData& p) {
    if (!(p.x > 0)) return Region::Other;
    const float h = p.y / p.x, v = p.z / p.x;
    if (std::fabs(h) < 0.05f && std::fabs(v) < 0.05f) return Region::Centre;
    if (h < -0.6f && v > 0.25f) return Region::TopLeft;
    if (h > 0.6f && v < -0.25f) return Region::BottomRight;
    return Region::Other;
}

bool near(const std::uint8_t* c, const cv::Vec3b& want, int tol = 10) {
    for (int k = 0; k < 3; ++k)
        if (std::abs(int(c[k]) - int(want[k])) > tol) return false;
    return true;
}

TEST_F(Fusion, WallPointsTakeThePatternColoursWhereTheyProject) {
    ASSERT_EQ(ZelOrbInitRGBDFusionParam(kDev), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    Frame frame;
    waitForInputs(frame);

    std::vector<std::uint8_t> buf(162000, 0);
    ZelOrbRgbData out{};
    out.data = buf.data();
    ASSERT_EQ(ZelOrbGetRGBDFusionData(kDev, &out), RC_OK);
    EXPECT_EQ(+out.width, 360u);
    EXPECT_EQ(+out.height, 150u);
    EXPECT_EQ(+out.channels, 3u);
    EXPECT_EQ(+out.size, 162000u);

    const cv::Vec3b centre = orbsim::testPatternColor(600, 800);
    const cv::Vec3b topLeft = orbsim::testPatternColor(100, 100);
    const cv::Vec3b bottomRight = orbsim::testPatternColor(1100, 1500);
    int counted[3] = {0, 0, 0}, matched[3] = {0, 0, 0};
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const Region r = regionOf(frame[i]);
        if (r == Region::Other) continue;
        const int k = static_cast<int>(r);
        const cv::Vec3b want = r == Region::Centre ? centre : r == Region::TopLeft ? topLeft : bottomRight;
        ++counted[k];
        if (near(&buf[3 * i], want)) ++matched[k];
    }
    for (int k = 0; k < 3; ++k) {
        EXPECT_GT(counted[k], 20) << "region " << k;
        // Coloured from the newest frame of the same static wall.
        EXPECT_GE(matched[k], counted[k] * 9 / 10) << "region " << k;
    }
}

TEST_F(Fusion, FailedReinitialisationKeepsThePreviousParameters) {
    ASSERT_EQ(ZelOrbInitRGBDFusionParam(kDev), RC_OK);
    orbsim::Fault refused;
    refused.status = 5;
    cam->responder().setFault(kQueryExtrinsics, refused);
    EXPECT_EQ(ZelOrbInitRGBDFusionParam(kDev), RC_GENERAL_ERROR);
    cam->responder().clearFaults();
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    Frame frame;
    waitForInputs(frame);
    std::vector<std::uint8_t> buf(162000, 0);
    ZelOrbRgbData out{};
    out.data = buf.data();
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kDev, &out), RC_OK);
}

std::atomic<int> gFromFrameCallback{0};
std::atomic<int> gFromRgbCallback{0};
std::vector<std::uint8_t> gCallbackBuf(162000);
void fusingFrameCallback(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) {
    ZelOrbRgbData out{};
    out.data = gCallbackBuf.data();
    gFromFrameCallback = ZelOrbGetRGBDFusionData(kDev, &out) == RC_GENERAL_ERROR ? 1 : -1;
}
void fusingRgbCallback(ZelOrbRgbData) {
    std::vector<std::uint8_t> buf(162000);
    ZelOrbRgbData out{};
    out.data = buf.data();
    gFromRgbCallback = ZelOrbGetRGBDFusionData(kDev, &out) == RC_OK ? 1 : -1;
}

// A frame callback holds the stream mutex fusion needs: refused there. The
// RGB callback holds no lock fusion takes: fusion works from it.
TEST_F(Fusion, FromCallbacks) {
    ASSERT_EQ(ZelOrbInitRGBDFusionParam(kDev), RC_OK);
    gFromFrameCallback = 0;
    gFromRgbCallback = 0;
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(kDev, fusingFrameCallback), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, fusingRgbCallback), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    EXPECT_TRUE(eventually([] { return gFromFrameCallback.load() != 0 && gFromRgbCallback.load() != 0; }));
    EXPECT_EQ(gFromFrameCallback.load(), 1);
    EXPECT_TRUE(eventually([] { return gFromRgbCallback.load() == 1; }));
}

}  // namespace
