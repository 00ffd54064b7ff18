// Every exported call with null pointers, invalid IP texts, zero sizes and
// out-of-range values: it returns its documented code and touches nothing
// (outputs keep their contents, device settings and callbacks stay as they
// were, nothing is sent). No network: a device record is registered by hand
// with no sockets, so a call that wrongly went on to a command exchange would
// come back with "no reply" (4) instead of the code asserted here.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "OrbFiltersALG.h"
#include "device/device.h"
#include "device/context.h"
#include "imu_rgb/rgb_stream.h"
#include "orb_sdk.h"

namespace {

constexpr const char* kIp = "127.0.0.2";  // registered, never contacted
constexpr const char* kAbsent = "127.0.0.3";

// Texts that are no registered device: unknown address, and texts that are
// no address at all or differ from the registered one only in form.
const char* const kNotRegistered[] = {kAbsent, "", "abc", "127.0.0.2 ", " 127.0.0.2", "127.0.0.02", "127.0.0.2.",
                                      "256.0.0.1", "127.0.0", "127.0.0.2\n", "1.2.3.4.5"};

void registerDevice() {
    auto& reg = orb::libraryContext().registry;
    std::unique_lock<std::shared_mutex> lock(reg.mutex());
    if (!reg.find(kIp)) reg.devices().emplace(kIp, std::make_unique<orb::DeviceRecord>(kIp, 6301));
}

orb::DeviceRecord& device() {
    auto& reg = orb::libraryContext().registry;
    std::shared_lock<std::shared_mutex> lock(reg.mutex());
    return *reg.find(kIp);
}

// A buffer filled with a pattern, to see that a call left it alone.
template <class T, std::size_t N>
struct Guarded {
    T v[N];
    Guarded() { std::memset(v, 0xA7, sizeof v); }
    bool untouched() const {
        const auto* b = reinterpret_cast<const unsigned char*>(v);
        for (std::size_t i = 0; i < sizeof v; ++i)
            if (b[i] != 0xA7) return false;
        return true;
    }
};

class BadArgs : public ::testing::Test {
protected:
    void SetUp() override { registerDevice(); }
};

// ---------------------------------------------------------------- addressing

struct IpCall {
    const char* name;
    std::function<std::int32_t(const char*)> call;
    std::int32_t nullIp;
    std::int32_t notRegistered;
};

// Valid arguments everywhere but the address: the lookup alone decides.
std::vector<IpCall> ipCalls() {
    static std::uint32_t u32;
    static std::int32_t i32;
    static std::uint16_t u16a, u16b;
    static std::uint8_t u8, bytes[64];
    static char text1[32], text2[32];
    static float floats[12];
    static const std::uint32_t times[1] = {100};
    static const double d[1] = {1.0};
    static ZelOrb9AxisImuData imu;
    static ZelOrbRgbData rgb;
    static std::vector<ZelOrbPointData> f1(ZEL_ORB_FRAME_POINTS), f2(ZEL_ORB_FRAME_POINTS);
    auto frame = [](std::vector<ZelOrbPointData>& v) {
        return reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(v.data());
    };
    const std::int32_t S = DEV_DATA_SIZE_MISMATCH, SN = DEV_HANDLE_NOT_IN_LIST;
    const std::int32_t L = RC_INVALID_TARGET, LN = RC_DEVICE_NOT_FOUND;
    return {
        {"ZelStart", [](const char* ip) { return ZelStart(ip); }, S, SN},
        {"ZelStop", [](const char* ip) { return ZelStop(ip); }, S, SN},
        {"ZelSoftTrigger", [](const char* ip) { return ZelSoftTrigger(ip); }, S, SN},
        {"ZelSaveConfigureInfo", [](const char* ip) { return ZelSaveConfigureInfo(ip); }, S, SN},
        {"ZelRemoveConfigureInfo", [](const char* ip) { return ZelRemoveConfigureInfo(ip); }, S, SN},
        {"ZelSetTriggerMode", [](const char* ip) { return ZelSetTriggerMode(ip, 1); }, S, SN},
        {"ZelGetTriggerMode", [](const char* ip) { return ZelGetTriggerMode(ip, &i32); }, S, SN},
        {"ZelSetExposureMode", [](const char* ip) { return ZelSetExposureMode(ip, 1, 1); }, S, SN},
        {"ZelGetExposureMode", [](const char* ip) { return ZelGetExposureMode(ip, 1, &u32); }, S, SN},
        {"ZelSetExposureTime", [](const char* ip) { return ZelSetExposureTime(ip, 1, times, 1); }, S, SN},
        {"ZelGetExposureTime",
         [](const char* ip) { return ZelGetExposureTime(ip, 1, reinterpret_cast<std::uint32_t*>(bytes), 4, &i32); },
         S, SN},
        {"ZelSetHardTriggerFilterParams", [](const char* ip) { return ZelSetHardTriggerFilterParams(ip, 1000, 50); },
         S, SN},
        {"ZelGetHardTriggerFilterParams", [](const char* ip) { return ZelGetHardTriggerFilterParams(ip, &u32, &u32); },
         S, SN},
        {"ZelSetRgbSensorGain", [](const char* ip) { return ZelSetRgbSensorGain(ip, 100); }, S, SN},
        {"ZelGetRgbSensorGain", [](const char* ip) { return ZelGetRgbSensorGain(ip, &u32); }, S, SN},
        {"ZelOrbGetRgbExposureTimeRange", [](const char* ip) { return ZelOrbGetRgbExposureTimeRange(ip, &u16a, &u16b); },
         S, SN},
        {"ZelOrbGetRgbGainRange", [](const char* ip) { return ZelOrbGetRgbGainRange(ip, &u16a, &u16b); }, S, SN},
        {"ZelSetDistanceMeasureConfigure", [](const char* ip) { return ZelSetDistanceMeasureConfigure(ip, 1); }, S, SN},
        {"ZelGetDistanceMeasureConfigure", [](const char* ip) { return ZelGetDistanceMeasureConfigure(ip, &u8); }, S,
         SN},
        {"ZelOrbSetCalibrationDistanceOffset", [](const char* ip) { return ZelOrbSetCalibrationDistanceOffset(ip, 5); },
         S, SN},
        {"ZelOrbGetCalibrationDistanceOffset",
         [](const char* ip) { return ZelOrbGetCalibrationDistanceOffset(ip, &u32); }, S, SN},
        {"ZelOrbSetDeviceSerialNumber", [](const char* ip) { return ZelOrbSetDeviceSerialNumber(ip, "SN1"); }, S, SN},
        {"ZelOrbGetDeviceSerialNumber", [](const char* ip) { return ZelOrbGetDeviceSerialNumber(ip, bytes, 64); }, S,
         SN},
        {"ZelOrbGetDeviceType", [](const char* ip) { return ZelOrbGetDeviceType(ip, bytes, 64); }, S, SN},
        {"ZelOrbGetDeviceSoftwareVersion",
         [](const char* ip) { return ZelOrbGetDeviceSoftwareVersion(ip, text1, text2, 32); }, S, SN},
        {"ZelSetIntrinsicParam", [](const char* ip) { return ZelSetIntrinsicParam(ip, 2, floats); }, S, SN},
        {"ZelGetIntrinsicParam", [](const char* ip) { return ZelGetIntrinsicParam(ip, 2, floats); }, S, SN},
        {"ZelSetLidarToRgbExtrinsicParam", [](const char* ip) { return ZelSetLidarToRgbExtrinsicParam(ip, floats); }, S,
         SN},
        {"ZelGetLidarToRgbExtrinsicParam", [](const char* ip) { return ZelGetLidarToRgbExtrinsicParam(ip, floats); }, S,
         SN},
        {"ZelGetLidarToIMUExtrinsicParam", [](const char* ip) { return ZelGetLidarToIMUExtrinsicParam(ip, floats); }, S,
         SN},
        {"ZelOrbSetDistanceOffset", [](const char* ip) { return ZelOrbSetDistanceOffset(ip, 5); }, L, LN},
        {"ZelOrbGetDistanceOffset", [](const char* ip) { return ZelOrbGetDistanceOffset(ip, &u32); }, L, LN},
        {"ZelOrbDisconnectDevice", [](const char* ip) { return ZelOrbDisconnectDevice(ip); }, L, LN},
        {"ZelOrbSetDeviceMode", [](const char* ip) { return ZelOrbSetDeviceMode(ip, 0); }, L, LN},
        {"ZelOrbGetPointCloud", [frame](const char* ip) { return ZelOrbGetPointCloud(ip, frame(f1)); }, L, LN},
        {"ZelOrbGetDualEchoPointCloud",
         [frame](const char* ip) { return ZelOrbGetDualEchoPointCloud(ip, frame(f1), frame(f2)); }, L, LN},
        {"ZelOrbRegisterCallbackUpdateFrame",
         [](const char* ip) { return ZelOrbRegisterCallbackUpdateFrame(ip, [](ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]) {}); },
         L, LN},
        {"ZelOrbRegisterCallbackUpdate6AxisImuData",
         [](const char* ip) { return ZelOrbRegisterCallbackUpdate6AxisImuData(ip, [](ZelOrb6AxisImuData) {}); }, L, LN},
        {"ZelOrbRegisterCallbackUpdate9AxisImuData",
         [](const char* ip) { return ZelOrbRegisterCallbackUpdate9AxisImuData(ip, [](ZelOrb9AxisImuData) {}); }, L, LN},
        {"ZelOrbRegisterCallbackUpdateRgb",
         [](const char* ip) { return ZelOrbRegisterCallbackUpdateRgb(ip, [](ZelOrbRgbData) {}); }, L, LN},
        {"ZelOrbStartDevice9AxisImuStream", [](const char* ip) { return ZelOrbStartDevice9AxisImuStream(ip); }, L, LN},
        {"ZelOrbStopDevice9AxisImuStream", [](const char* ip) { return ZelOrbStopDevice9AxisImuStream(ip); }, L, LN},
        {"ZelOrbGet9AxisImu", [](const char* ip) { return ZelOrbGet9AxisImu(ip, &imu); }, L, LN},
        {"ZelOrbStartDeviceRgbStream", [](const char* ip) { return ZelOrbStartDeviceRgbStream(ip); }, L, LN},
        {"ZelOrbStopDeviceRgbStream", [](const char* ip) { return ZelOrbStopDeviceRgbStream(ip); }, L, LN},
        {"ZelOrbGetRgb", [](const char* ip) { return ZelOrbGetRgb(ip, &rgb); }, L, LN},
        {"ZelOrbSetRgbUndistortion", [](const char* ip) { return ZelOrbSetRgbUndistortion(ip, true); }, L, LN},
        // Reading the parameters fails for a device not in the registry.
        {"ZelOrbInitRGBDFusionParam", [](const char* ip) { return ZelOrbInitRGBDFusionParam(ip); }, L,
         RC_GENERAL_ERROR},
        {"ZelOrbGetRGBDFusionData",
         [](const char* ip) {
             rgb.data = bytes;
             return ZelOrbGetRGBDFusionData(ip, &rgb);
         },
         L, LN},
        {"ZelOrbSetDistanceFiltering", [](const char* ip) { return ZelOrbSetDistanceFiltering(ip, true, 1, 2); }, L,
         LN},
        {"ZelOrbSetDistanceCompensationEnabled",
         [](const char* ip) { return ZelOrbSetDistanceCompensationEnabled(ip, true); }, L, LN},
        {"ZelOrbSetIntensityFiltering", [](const char* ip) { return ZelOrbSetIntensityFiltering(ip, true, d, d, 1); },
         L, LN},
        {"ZelOrbSetSpatialFilter", [](const char* ip) { return ZelOrbSetSpatialFilter(ip, true, 5); }, L, LN},
        {"ZelOrbSetTimeMedianFilter", [](const char* ip) { return ZelOrbSetTimeMedianFilter(ip, true, 5, 100); }, L,
         LN},
        {"ZelOrbSetFlyingFilter", [](const char* ip) { return ZelOrbSetFlyingFilter(ip, true, 300); }, L, LN},
        {"ZelOrbGetStreamStatistics",
         [](const char* ip) {
             ZelOrbStreamStatistics s{};
             s.size = sizeof s;
             return ZelOrbGetStreamStatistics(ip, &s);
         },
         L, LN},
        {"ZelOrbResetStreamStatistics", [](const char* ip) { return ZelOrbResetStreamStatistics(ip); }, L, LN},
    };
}

TEST_F(BadArgs, NullAndUnregisteredAddressesAreRefusedByEveryDeviceCall) {
    const std::uint32_t setsBefore = device().stream.filters.distanceMax.load();
    for (const IpCall& c : ipCalls()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(nullptr), c.nullIp);
        for (const char* ip : kNotRegistered) {
            SCOPED_TRACE(std::string("ip \"") + ip + "\"");
            EXPECT_EQ(c.call(ip), c.notRegistered);
        }
    }
    // None of them reached the registered device.
    EXPECT_EQ(device().stream.filters.distanceMax.load(), setsBefore);
    EXPECT_FALSE(device().stream.filters.distanceFilterEnable.load());
    EXPECT_FALSE(device().stream.filters.pipeline.GetSpatialFilterEnable());
    EXPECT_EQ(device().stream.frameCallback, nullptr);
}

TEST_F(BadArgs, CachedFlagsReadFalseWithoutADevice) {
    EXPECT_FALSE(ZelGetDeviceRgbEnabled(nullptr));
    EXPECT_FALSE(ZelGetDeviceRgbRotation(nullptr));
    for (const char* ip : kNotRegistered) {
        EXPECT_FALSE(ZelGetDeviceRgbEnabled(ip));
        EXPECT_FALSE(ZelGetDeviceRgbRotation(ip));
    }
}

TEST_F(BadArgs, ConnectRefusesInvalidAddressesAndPortZeroWithoutRegistering) {
    const char* const invalid[] = {nullptr, "", "abc", "256.0.0.1", "127.0.0", "1.2.3.4.5", "01.2.3.4", "1..2.3",
                                   "127.0.0.2 ", "-1.0.0.1", "127.0.0.1234567"};
    for (const char* ip : invalid) {
        SCOPED_TRACE(ip ? ip : "(null)");
        EXPECT_EQ(ZelOrbConnectDevice(ip, 6301), RC_INVALID_TARGET);
    }
    EXPECT_EQ(ZelOrbConnectDevice(kAbsent, 0), RC_INVALID_TARGET);
    auto& reg = orb::libraryContext().registry;
    std::shared_lock<std::shared_mutex> lock(reg.mutex());
    EXPECT_EQ(reg.devices().size(), 1u);
}

// ------------------------------------------------------- configuration calls

struct ArgCase {
    const char* name;
    std::function<std::int32_t()> call;
    std::int32_t expected;
};

TEST_F(BadArgs, ConfigurationCallsCheckTheirArgumentsBeforeSending) {
    static const std::uint32_t one[1] = {100};
    static const std::uint32_t zero[1] = {0};
    static const std::uint32_t lidarTooLong[1] = {4001};
    static const std::uint32_t rgbTooLong[1] = {1405};
    static const std::uint32_t secondBad[2] = {100, 5000};
    static const float floats[12] = {};
    std::uint32_t u32 = 0;
    std::int32_t i32 = 0;
    std::uint16_t u16 = 0;
    std::uint8_t bytes[32];
    char text[32];
    float fl[12];
    const std::int32_t kRange = DEV_PARAM_OUT_OF_RANGE, kNull = DEV_DATA_SIZE_MISMATCH, kSensor = DEV_TYPE_NOT_EXIST;
    const std::vector<ArgCase> cases = {
        {"trigger mode, null out", [&] { return ZelGetTriggerMode(kIp, nullptr); }, kNull},
        {"exposure mode, sensor 0", [&] { return ZelSetExposureMode(kIp, 0, 1); }, kSensor},
        {"exposure mode, sensor 3", [&] { return ZelSetExposureMode(kIp, 3, 0); }, kSensor},
        {"exposure mode, sensor -1", [&] { return ZelSetExposureMode(kIp, -1, 0); }, kSensor},
        {"get exposure mode, sensor 3", [&] { return ZelGetExposureMode(kIp, 3, &u32); }, kSensor},
        {"get exposure mode, null out", [&] { return ZelGetExposureMode(kIp, 1, nullptr); }, kNull},
        {"exposure time, count 0", [&] { return ZelSetExposureTime(kIp, 1, one, 0); }, DEV_DEVICE_NOT_ON},
        {"exposure time, count 5", [&] { return ZelSetExposureTime(kIp, 1, one, 5); }, DEV_DEVICE_NOT_ON},
        {"exposure time, count -1", [&] { return ZelSetExposureTime(kIp, 1, one, -1); }, DEV_DEVICE_NOT_ON},
        {"exposure time, sensor 9", [&] { return ZelSetExposureTime(kIp, 9, one, 1); }, kSensor},
        {"exposure time, null values", [&] { return ZelSetExposureTime(kIp, 1, nullptr, 1); }, kNull},
        {"exposure time 0", [&] { return ZelSetExposureTime(kIp, 1, zero, 1); }, kRange},
        {"LiDAR exposure time 4001", [&] { return ZelSetExposureTime(kIp, 1, lidarTooLong, 1); }, kRange},
        {"RGB exposure time 1405", [&] { return ZelSetExposureTime(kIp, 2, rgbTooLong, 1); }, kRange},
        {"exposure time, second value bad", [&] { return ZelSetExposureTime(kIp, 1, secondBad, 2); }, kRange},
        {"get exposure time, capacity 0", [&] { return ZelGetExposureTime(kIp, 1, &u32, 0, &i32); },
         DEV_SOCKET_SETUP_FAILED},
        {"get exposure time, capacity -5", [&] { return ZelGetExposureTime(kIp, 1, &u32, -5, &i32); },
         DEV_SOCKET_SETUP_FAILED},
        {"get exposure time, sensor 0", [&] { return ZelGetExposureTime(kIp, 0, &u32, 1, &i32); }, kSensor},
        {"get exposure time, null values", [&] { return ZelGetExposureTime(kIp, 1, nullptr, 1, &i32); }, kNull},
        {"get exposure time, null count", [&] { return ZelGetExposureTime(kIp, 1, &u32, 1, nullptr); }, kNull},
        {"hard trigger 999/50", [&] { return ZelSetHardTriggerFilterParams(kIp, 999, 50); }, kRange},
        {"hard trigger 1000/49", [&] { return ZelSetHardTriggerFilterParams(kIp, 1000, 49); }, kRange},
        {"hard trigger 65536/50", [&] { return ZelSetHardTriggerFilterParams(kIp, 65536, 50); }, kRange},
        {"hard trigger 1000/65536", [&] { return ZelSetHardTriggerFilterParams(kIp, 1000, 65536); }, kRange},
        {"hard trigger negative", [&] { return ZelSetHardTriggerFilterParams(kIp, INT_MIN, INT_MIN); }, kRange},
        {"get hard trigger, null first", [&] { return ZelGetHardTriggerFilterParams(kIp, nullptr, &u32); }, kNull},
        {"get hard trigger, null second", [&] { return ZelGetHardTriggerFilterParams(kIp, &u32, nullptr); }, kNull},
        {"gain 15", [&] { return ZelSetRgbSensorGain(kIp, 15); }, kRange},
        {"gain 989", [&] { return ZelSetRgbSensorGain(kIp, 989); }, kRange},
        {"gain max", [&] { return ZelSetRgbSensorGain(kIp, UINT32_MAX); }, kRange},
        {"get gain, null", [&] { return ZelGetRgbSensorGain(kIp, nullptr); }, kNull},
        {"exposure range, null first", [&] { return ZelOrbGetRgbExposureTimeRange(kIp, nullptr, &u16); }, kNull},
        {"exposure range, null second", [&] { return ZelOrbGetRgbExposureTimeRange(kIp, &u16, nullptr); }, kNull},
        {"gain range, null first", [&] { return ZelOrbGetRgbGainRange(kIp, nullptr, &u16); }, kNull},
        {"gain range, null second", [&] { return ZelOrbGetRgbGainRange(kIp, &u16, nullptr); }, kNull},
        {"distance measure, null", [&] { return ZelGetDistanceMeasureConfigure(kIp, nullptr); }, kNull},
        {"calibration offset, null", [&] { return ZelOrbGetCalibrationDistanceOffset(kIp, nullptr); }, kNull},
        {"distance offset, null", [&] { return ZelOrbGetDistanceOffset(kIp, nullptr); }, RC_PARAM_OUT_OF_BOUNDS},
        {"serial, null", [&] { return ZelOrbSetDeviceSerialNumber(kIp, nullptr); }, kNull},
        {"serial, empty", [&] { return ZelOrbSetDeviceSerialNumber(kIp, ""); }, kNull},
        {"get serial, null buffer", [&] { return ZelOrbGetDeviceSerialNumber(kIp, nullptr, 32); }, kNull},
        {"get serial, size 0", [&] { return ZelOrbGetDeviceSerialNumber(kIp, bytes, 0); }, kNull},
        {"device type, null buffer", [&] { return ZelOrbGetDeviceType(kIp, nullptr, 32); }, kNull},
        {"device type, size 0", [&] { return ZelOrbGetDeviceType(kIp, bytes, 0); }, kNull},
        {"version, null first", [&] { return ZelOrbGetDeviceSoftwareVersion(kIp, nullptr, text, 32); }, kNull},
        {"version, null second", [&] { return ZelOrbGetDeviceSoftwareVersion(kIp, text, nullptr, 32); }, kNull},
        {"version, size 15", [&] { return ZelOrbGetDeviceSoftwareVersion(kIp, text, text + 16, 15); }, kNull},
        {"version, size 0", [&] { return ZelOrbGetDeviceSoftwareVersion(kIp, text, text + 16, 0); }, kNull},
        {"set intrinsics, LiDAR", [&] { return ZelSetIntrinsicParam(kIp, 1, floats); }, DEV_DEVICE_NOT_SUPPORTED},
        {"set intrinsics, sensor 3", [&] { return ZelSetIntrinsicParam(kIp, 3, floats); }, kSensor},
        {"set intrinsics, null", [&] { return ZelSetIntrinsicParam(kIp, 2, nullptr); }, kNull},
        {"get intrinsics, LiDAR", [&] { return ZelGetIntrinsicParam(kIp, 1, fl); },
         DEV_DEVICE_NOT_SUPPORTED},
        {"get intrinsics, sensor 0", [&] { return ZelGetIntrinsicParam(kIp, 0, fl); }, kSensor},
        {"get intrinsics, null", [&] { return ZelGetIntrinsicParam(kIp, 2, nullptr); }, kNull},
        {"set extrinsics, null", [&] { return ZelSetLidarToRgbExtrinsicParam(kIp, nullptr); }, kNull},
        {"get extrinsics, null", [&] { return ZelGetLidarToRgbExtrinsicParam(kIp, nullptr); }, kNull},
        {"get IMU extrinsics, null", [&] { return ZelGetLidarToIMUExtrinsicParam(kIp, nullptr); }, kNull},
    };
    for (const ArgCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(bytes, 0xA7, sizeof bytes);
        std::memset(text, 0xA7, sizeof text);
        std::memset(fl, 0xA7, sizeof fl);
        u32 = 0xA7A7A7A7u;
        i32 = 0x5A5A5A5A;
        u16 = 0xA7A7;
        EXPECT_EQ(c.call(), c.expected);
        EXPECT_EQ(u32, 0xA7A7A7A7u);
        EXPECT_EQ(i32, 0x5A5A5A5A);
        EXPECT_EQ(u16, 0xA7A7);
        for (std::uint8_t b : bytes) EXPECT_EQ(b, 0xA7);
        for (char ch : text) EXPECT_EQ(static_cast<unsigned char>(ch), 0xA7);
        for (std::size_t i = 0; i < sizeof fl; ++i) EXPECT_EQ(reinterpret_cast<unsigned char*>(fl)[i], 0xA7);
    }
}

// The lookup comes before the argument checks: bad arguments to an absent
// device report the absent device.
TEST_F(BadArgs, LookupComesBeforeArgumentChecks) {
    EXPECT_EQ(ZelGetTriggerMode(kAbsent, nullptr), DEV_HANDLE_NOT_IN_LIST);
    EXPECT_EQ(ZelSetExposureMode(kAbsent, 7, 1), DEV_HANDLE_NOT_IN_LIST);
    EXPECT_EQ(ZelSetHardTriggerFilterParams(kAbsent, 0, 0), DEV_HANDLE_NOT_IN_LIST);
    EXPECT_EQ(ZelOrbGetDistanceOffset(kAbsent, nullptr), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbGetPointCloud(kAbsent, nullptr), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateFrame(kAbsent, nullptr), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbGet9AxisImu(kAbsent, nullptr), RC_DEVICE_NOT_FOUND);
}

// ------------------------------------------------------ streams and callbacks

void frameA(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) {}
void sixA(ZelOrb6AxisImuData) {}
void nineA(ZelOrb9AxisImuData) {}
void rgbA(ZelOrbRgbData) {}

TEST_F(BadArgs, NullCallbacksAreRefusedAndKeepTheRegisteredOne) {
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(kIp, frameA), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData(kIp, sixA), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kIp, nineA), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateRgb(kIp, rgbA), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateFrame(kIp, nullptr), RC_CALLBACK_REGISTER_FAILED);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData(kIp, nullptr), RC_CALLBACK_REGISTER_FAILED);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kIp, nullptr), RC_CALLBACK_REGISTER_FAILED);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateRgb(kIp, nullptr), RC_CALLBACK_REGISTER_FAILED);
    orb::DeviceRecord& dev = device();
    EXPECT_EQ(dev.stream.frameCallback, &frameA);
    EXPECT_EQ(dev.stream.sixAxisCallback, &sixA);
    EXPECT_EQ(dev.imuRgb.imu->callback, &nineA);
    EXPECT_EQ(dev.imuRgb.rgb->callback, &rgbA);
}

TEST_F(BadArgs, NullFramesAndRecordsAreRefusedWithoutTakingTheData) {
    orb::DeviceRecord& dev = device();
    std::vector<ZelOrbPointData> buf(ZEL_ORB_FRAME_POINTS);
    auto* frame = reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(buf.data());
    dev.stream.frameReady.store(true);
    dev.stream.dualEchoReady.store(true);
    EXPECT_EQ(ZelOrbGetPointCloud(kIp, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetDualEchoPointCloud(kIp, nullptr, frame), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetDualEchoPointCloud(kIp, frame, nullptr), RC_INVALID_TARGET);
    // The ready frames are still there for a proper call.
    EXPECT_TRUE(dev.stream.frameReady.load());
    EXPECT_TRUE(dev.stream.dualEchoReady.load());
    dev.stream.frameReady.store(false);
    dev.stream.dualEchoReady.store(false);

    EXPECT_EQ(ZelOrbGetMaximumRangePointCloud(nullptr, frame, frame), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetMaximumRangePointCloud(frame, nullptr, frame), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetMaximumRangePointCloud(frame, frame, nullptr), RC_INVALID_TARGET);

    EXPECT_EQ(ZelOrbGet9AxisImu(kIp, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetRgb(kIp, nullptr), RC_INVALID_TARGET);
    ZelOrbRgbData rgb{};
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kIp, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kIp, &rgb), RC_INVALID_TARGET);  // no buffer behind data
    const std::uint64_t size = rgb.size;  // the record is packed: no reference to its fields
    EXPECT_EQ(size, 0u);

    // A statistics record smaller than its first version is refused untouched.
    EXPECT_EQ(ZelOrbGetStreamStatistics(kIp, nullptr), RC_INVALID_TARGET);
    ZelOrbStreamStatistics st;
    std::memset(&st, 0xA7, sizeof st);
    st.size = sizeof st - 8;
    EXPECT_EQ(ZelOrbGetStreamStatistics(kIp, &st), RC_INVALID_TARGET);
    EXPECT_EQ(st.datagrams, 0xA7A7A7A7A7A7A7A7u);
}

TEST_F(BadArgs, ReceptionStartRefusesNullHostAndBadPortsWithoutBinding) {
    EXPECT_EQ(ZelOrbStartReceiveData(nullptr, 6001), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbStartReceiveData("127.0.0.1", 0), RC_LOCAL_PORT_NULL);
    for (std::int32_t port : {-1, 65536, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(ZelOrbStartReceiveData("127.0.0.1", port), RC_PORT_BIND_FAILED);
    }
    // A refused start leaves nothing open to stop.
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED);
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED);
}

// ------------------------------------------- network settings and discovery

TEST_F(BadArgs, NetworkSettingsRefuseBadRecordsBeforeConnecting) {
    ZelOrbNetInfo info;
    std::memset(&info, 0xA7, sizeof info);
    EXPECT_EQ(ZelOrbGetNetInfo(nullptr, &info), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetNetInfo(kIp, nullptr), RC_INVALID_TARGET);
    // Texts that are no device address are refused before any connection.
    for (const char* ip : {"", "abc", "0.0.0.0", "256.1.1.1", "1.2.3"}) {
        SCOPED_TRACE(ip);
        EXPECT_EQ(ZelOrbGetNetInfo(ip, &info), RC_GET_NET_ADDRESS_FAILED);
    }
    for (std::size_t i = 0; i < sizeof info; ++i) EXPECT_EQ(reinterpret_cast<unsigned char*>(&info)[i], 0xA7);

    ZelOrbNetInfo good{};
    std::strcpy(good.lidar_ip, "192.168.1.10");
    std::strcpy(good.host_ip, "192.168.1.2");
    EXPECT_EQ(ZelOrbSetNetInfo(nullptr, &good), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetNetInfo(kIp, nullptr), RC_INVALID_TARGET);
    struct BadRecord {
        const char* lidar;
        const char* host;
    } bad[] = {{"", "192.168.1.2"}, {"192.168.1.10", ""}, {"0.0.0.0", "192.168.1.2"}, {"192.168.1.10", "0.0.0.0"},
               {"300.1.1.1", "192.168.1.2"}, {"192.168.1.10", "x.y.z.w"}, {"192.168.1", "192.168.1.2"}};
    for (const BadRecord& b : bad) {
        SCOPED_TRACE(std::string(b.lidar) + " / " + b.host);
        ZelOrbNetInfo r{};
        std::strcpy(r.lidar_ip, b.lidar);
        std::strcpy(r.host_ip, b.host);
        EXPECT_EQ(ZelOrbSetNetInfo(kIp, &r), RC_SET_NET_ADDRESS_FAILED);
    }
    // An address text filling its whole field without a terminating NUL.
    ZelOrbNetInfo unterminated{};
    std::memset(unterminated.lidar_ip, '1', sizeof unterminated.lidar_ip);
    std::strcpy(unterminated.host_ip, "192.168.1.2");
    EXPECT_EQ(ZelOrbSetNetInfo(kIp, &unterminated), RC_SET_NET_ADDRESS_FAILED);
}

TEST_F(BadArgs, DiscoveryRefusesMissingOutputsAndZeroCount) {
    ZelOrbFoundDevice found[2];
    std::memset(found, 0xA7, sizeof found);
    std::int32_t count = 7;
    EXPECT_FALSE(ZelOrbActiveFindDevice(found, 0, &count));
    EXPECT_EQ(count, -1);
    count = 7;
    EXPECT_FALSE(ZelOrbActiveFindDevice(nullptr, 2, &count));
    EXPECT_EQ(count, -1);
    EXPECT_FALSE(ZelOrbActiveFindDevice(found, 2, nullptr));
    for (std::size_t i = 0; i < sizeof found; ++i) EXPECT_EQ(reinterpret_cast<unsigned char*>(found)[i], 0xA7);

    count = 7;
    EXPECT_NE(ZelOrbPassiveFindDevice(nullptr, &count), nullptr);
    EXPECT_EQ(count, -1);
    count = 7;
    EXPECT_NE(ZelOrbPassiveFindDevice("", &count), nullptr);
    EXPECT_EQ(count, -1);
    EXPECT_NE(ZelOrbPassiveFindDevice("127.0.0.1", nullptr), nullptr);
}

TEST_F(BadArgs, RecordingRefusesMissingPathsAndAStopWithoutAStart) {
    EXPECT_EQ(ZelOrbStartRecording(nullptr), RC_FILE_OPEN_FAILED);
    EXPECT_EQ(ZelOrbStartRecording(""), RC_FILE_OPEN_FAILED);
    EXPECT_EQ(ZelOrbStopRecording(), RC_RECORDING_NOT_STARTED);
}

// --------------------------------------------------------------- return codes

TEST(BadArgsCodes, TextsExistForEveryCodeAndBuffersAreNeverOverrun) {
    for (std::int32_t code : {INT_MIN, -3000, -2001, -2000, -1981, -2, -1, 0, 1, 2, 255, 256, 1000, INT_MAX}) {
        SCOPED_TRACE(code);
        ASSERT_NE(ZelOrbReturnCodeToString(code), nullptr);
        ASSERT_NE(ZelGetReturnCodeDescriptor(code), nullptr);
        EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(code, nullptr, 64), "Buffer is null or too small");
        char buf[64];
        std::memset(buf, 0xA7, sizeof buf);
        EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(code, buf, 0), "Buffer is null or too small");
        for (char c : buf) EXPECT_EQ(static_cast<unsigned char>(c), 0xA7);
        for (std::size_t size : {1, 2, 7, 16}) {
            std::memset(buf, 0xA7, sizeof buf);
            const char* out = ZelOrbGetDetailedReturnInfo(code, buf, size);
            EXPECT_EQ(out, buf);
            EXPECT_NE(std::memchr(buf, 0, size), nullptr);  // terminated inside the given size
            for (std::size_t i = size; i < sizeof buf; ++i) EXPECT_EQ(static_cast<unsigned char>(buf[i]), 0xA7);
        }
    }
}

// --------------------------------------------------------- host filters

TEST_F(BadArgs, IntensityTableWithMissingArraysChangesNothing) {
    orb::FilterSettings& s = device().stream.filters;
    const double d[2] = {1, 2}, i[2] = {3, 4};
    ASSERT_EQ(ZelOrbSetIntensityFiltering(kIp, false, d, i, 2), RC_OK);
    const auto table = s.intensityTable();
    EXPECT_EQ(ZelOrbSetIntensityFiltering(kIp, true, nullptr, i, 2), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetIntensityFiltering(kIp, true, d, nullptr, 2), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetIntensityFiltering(kIp, true, nullptr, nullptr, 65535), RC_INVALID_TARGET);
    EXPECT_EQ(s.intensityTable(), table);
    EXPECT_FALSE(s.intensityFilterEnable.load());
}

// A frame with a wall, a step and some empty points, for the filter passes.
std::vector<ZelOrbPointData> testFrame() {
    std::vector<ZelOrbPointData> f(ZEL_ORB_FRAME_POINTS);
    for (int r = 0; r < ZEL_ORB_FRAME_ROWS; ++r)
        for (int c = 0; c < ZEL_ORB_FRAME_COLS; ++c) {
            ZelOrbPointData& p = f[static_cast<std::size_t>(r) * ZEL_ORB_FRAME_COLS + c];
            p.row = static_cast<std::uint16_t>(r);
            p.column = static_cast<std::uint16_t>(c);
            if ((r * 7 + c * 3) % 23 == 0) continue;
            p.x = 300.0f + (c > 180 ? 150.0f : 0.0f) + static_cast<float>((r * 31 + c * 17) % 11);
            p.y = static_cast<float>(c - 180);
            p.z = static_cast<float>(75 - r);
            p.distance = p.x;
        }
    return f;
}

std::vector<ZelOrbPointData> filterWith(const std::function<void(OrbFiltersALG&)>& setup, int passes) {
    OrbFiltersALG f;
    setup(f);
    std::vector<ZelOrbPointData> frame;
    for (int i = 0; i < passes; ++i) {
        frame = testFrame();
        frame[static_cast<std::size_t>(i) * 101].x += 500.0f;  // something for the time median to see
        f.filtering(reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(frame.data()));
    }
    return frame;
}

bool samePoints(const std::vector<ZelOrbPointData>& a, const std::vector<ZelOrbPointData>& b) {
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(ZelOrbPointData)) == 0;
}

// Out-of-range settings act as the documented clamped ones.
TEST(BadArgsFilters, OutOfRangeSettingsActAsTheirClampedValues) {
    struct Pair {
        const char* name;
        std::function<void(OrbFiltersALG&)> given, clamped;
    } pairs[] = {
        {"size 4 is 3", [](OrbFiltersALG& f) { f.SetSpatialFilter(true, 4); },
         [](OrbFiltersALG& f) { f.SetSpatialFilter(true, 3); }},
        {"size 6 is 5", [](OrbFiltersALG& f) { f.SetSpatialFilter(true, 6); },
         [](OrbFiltersALG& f) { f.SetSpatialFilter(true, 5); }},
        {"size INT_MAX is 31", [](OrbFiltersALG& f) { f.SetSpatialFilter(true, INT_MAX); },
         [](OrbFiltersALG& f) { f.SetSpatialFilter(true, 31); }},
        {"size INT_MIN is a no-op", [](OrbFiltersALG& f) { f.SetSpatialFilter(true, INT_MIN); },
         [](OrbFiltersALG& f) { f.SetSpatialFilter(true, 2); }},
        {"count 0 is 1", [](OrbFiltersALG& f) { f.SetTimeMedianFilter(true, 0, 100); },
         [](OrbFiltersALG& f) { f.SetTimeMedianFilter(true, 1, 100); }},
        {"count INT_MIN is 1", [](OrbFiltersALG& f) { f.SetTimeMedianFilter(true, INT_MIN, 100); },
         [](OrbFiltersALG& f) { f.SetTimeMedianFilter(true, 1, 100); }},
        {"count INT_MAX is 9", [](OrbFiltersALG& f) { f.SetTimeMedianFilter(true, INT_MAX, 100); },
         [](OrbFiltersALG& f) { f.SetTimeMedianFilter(true, 9, 100); }},
        {"threshold keeps its low 16 bits", [](OrbFiltersALG& f) { f.SetTimeMedianFilter(true, 3, 0x10000 + 100); },
         [](OrbFiltersALG& f) { f.SetTimeMedianFilter(true, 3, 100); }},
    };
    const auto unfiltered = filterWith([](OrbFiltersALG&) {}, 10);
    for (const Pair& p : pairs) {
        SCOPED_TRACE(p.name);
        const auto given = filterWith(p.given, 10);
        EXPECT_TRUE(samePoints(given, filterWith(p.clamped, 10)));
        // Each setting really filters, so the comparison above is not between two untouched frames.
        EXPECT_FALSE(samePoints(given, unfiltered));
    }
}

TEST(BadArgsFilters, ExtremeThresholdsAndNullBuffersNeitherCrashNorWrite) {
    for (std::int32_t t : {INT_MIN, -1, 0, INT_MAX}) {
        SCOPED_TRACE(t);
        const auto out = filterWith(
            [t](OrbFiltersALG& f) {
                f.SetFlyPixeFilter(true, t);
                f.SetTimeMedianFilter(true, 3, t);
                f.SetSpatialFilter(true, 5);
            },
            4);
        for (const ZelOrbPointData& p : out) {
            ASSERT_FALSE(std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z));
        }
    }
    OrbFiltersALG f;
    f.SetSpatialFilter(true, 5);
    std::vector<float> buf(ZEL_ORB_FRAME_POINTS * 3, 1.5f);
    f.filtering(nullptr, nullptr);
    f.filtering(buf.data(), nullptr);
    f.filtering(nullptr, buf.data());
    for (float v : buf) ASSERT_EQ(v, 1.5f);
    f.filtering(static_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(nullptr));
}

TEST_F(BadArgs, DeviceFilterSettersTakeExtremeValues) {
    EXPECT_EQ(ZelOrbSetSpatialFilter(kIp, true, INT_MIN), RC_OK);
    EXPECT_EQ(ZelOrbSetTimeMedianFilter(kIp, true, INT_MAX, INT_MIN), RC_OK);
    EXPECT_EQ(ZelOrbSetFlyingFilter(kIp, true, INT_MIN), RC_OK);
    EXPECT_EQ(ZelOrbSetDistanceFiltering(kIp, true, UINT32_MAX, 0), RC_OK);  // an empty window
    std::vector<ZelOrbPointData> frame = testFrame();
    orb::runFrameChain(device().stream.filters, frame.data());
    ZelOrbPointData p = frame[1];
    orb::applyDistanceWindow(device().stream.filters, p);
    // Back to the defaults for the other tests.
    ZelOrbSetSpatialFilter(kIp, false, 5);
    ZelOrbSetTimeMedianFilter(kIp, false, 5, 100);
    ZelOrbSetFlyingFilter(kIp, false, 300);
    ZelOrbSetDistanceFiltering(kIp, false, 0, 100);
}

// ---------------------------------------------------- measurement, rotation

TEST(BadArgsMeasure, NullArgumentsGiveTheirCodesAndWriteNothing) {
    std::vector<ZelOrbPointData> frame = testFrame();
    const std::vector<ZelOrbPointData> copy = frame;
    RotateParams rp{10, 20, 30, 1, 2, 3};
    EXPECT_EQ(ZelOrbGetRotatePointcloudData(nullptr, &rp), RC_GENERAL_ERROR);
    EXPECT_EQ(ZelOrbGetRotatePointcloudData(frame.data(), nullptr), RC_GENERAL_ERROR);
    EXPECT_TRUE(samePoints(frame, copy));

    AngleMeasureParams params{-100, 100, -50, 50, 40, 5, 10, 2000, 10, 5, 5.0f, 60.0f, 3.0f};
    ASSERT_EQ(ZelOrbEnableAngleMeasure(true, &params), 1);
    float angle = 42.0f;
    EXPECT_EQ(ZelOrbGetPlaneAngle(nullptr, &angle).code, -100);
    EXPECT_EQ(angle, 42.0f);
    EXPECT_EQ(ZelOrbGetPlaneAngle(frame.data(), nullptr).code, -100);
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, nullptr), 1);  // keeps the measurement
    EXPECT_EQ(ZelOrbEnableAngleMeasure(false, nullptr), 0);
    EXPECT_EQ(ZelOrbEnableAngleMeasure(false, nullptr), 0);
    EXPECT_EQ(ZelOrbGetPlaneAngle(frame.data(), &angle).code, -100);
}

TEST(BadArgsMeasure, DegenerateParametersGiveAResultCode) {
    const float nan = std::nanf("");
    const AngleMeasureParams cases[] = {
        {-100, 100, -50, 50, 40, 5, 0, 2000, 10, 5, 5.0f, 60.0f, 3.0f},         // slice height 0
        {-100, 100, -50, 50, 40, 5, INT_MIN, 2000, 10, 5, 5.0f, 60.0f, 3.0f},   // negative slice height
        {100, -100, 50, -50, 40, 5, 10, 10, 2000, 5, 5.0f, 60.0f, 3.0f},        // empty boxes
        {INT_MIN, INT_MAX, INT_MIN, INT_MAX, INT_MAX, 0, 1, INT_MAX, INT_MIN, 0, 5.0f, 60.0f, 3.0f},
        {-100, 100, -50, 50, -40, -5, 10, 2000, 10, -5, nan, nan, nan},
        {-100, 100, -50, 50, 40, 5, 10, 2000, 10, INT_MAX, -1e30f, 1e30f, -1e30f},
    };
    const std::vector<ZelOrbPointData> frame = testFrame();
    for (const AngleMeasureParams& p : cases) {
        ASSERT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
        for (int i = 0; i < 3; ++i) {
            float angle = 0;
            const AngleResult r = ZelOrbGetPlaneAngle(frame.data(), &angle);
            EXPECT_TRUE(r.code == 0 || r.code == -98 || r.code == -99 || r.code == -100) << r.code;
            ASSERT_NE(r.message, nullptr);
        }
        ZelOrbEnableAngleMeasure(false, nullptr);
    }
}

// Last: disconnecting everything also removes a device that never had a
// connection, and calls on it then report it absent.
TEST_F(BadArgs, ZzDisconnectAllRemovesTheHandMadeRecord) {
    EXPECT_EQ(ZelOrbDisconnectAllDevice(), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelGetTriggerMode(kIp, nullptr), DEV_HANDLE_NOT_IN_LIST);
    EXPECT_EQ(ZelOrbDisconnectAllDevice(), RC_OK);
}

}  // namespace
