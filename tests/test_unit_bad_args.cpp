// Guards every exported call against bad pointers, addresses, sizes and values: each refuses, writing nothing.

// A record is registered by hand without sockets: a call that wrongly went on
// to a command exchange would come back with "no reply" (4) instead.

#include "support/harness.h"

namespace {

using namespace orbtest;

constexpr const char* kIp = "127.0.0.2";  // registered, never contacted
constexpr const char* kAbsent = "127.0.0.3";
// Texts that are no address, or differ from the registered one only in form.
const char* const kNoAddress[] = {"", "abc", "127.0.0.2 ", " 127.0.0.2", "127.0.0.02", "127.0.0.2.", "256.0.0.1",
                                  "127.0.0", "127.0.0.2\n", "1.2.3.4.5", "1..2.3", ".1.2.3", "1.2.3.-4", "1.2.3.+4",
                                  "1234.1.1.1", "100.100.100.1000", "1.2.3.a"};

class BadArgs : public ::testing::Test {
protected:
    static void SetUpTestSuite() { addDevice(kIp); }
};

struct IpCall {
    const char* name;
    std::function<std::int32_t(const char*)> call;
    std::int32_t nullIp, notRegistered;
};

#define CALL(expr, nullIp, absent) {#expr, [](const char* ip) -> std::int32_t { return expr; }, nullIp, absent}
#define DEVICE_CALL(expr) CALL(expr, DEV_DATA_SIZE_MISMATCH, DEV_HANDLE_NOT_IN_LIST)
#define LIBRARY_CALL(expr) CALL(expr, RC_INVALID_TARGET, RC_DEVICE_NOT_FOUND)

// Valid arguments everywhere but the address: the lookup alone decides.
std::vector<IpCall> ipCalls() {
    static std::uint32_t u32, times[1] = {100};
    static std::int32_t i32;
    static std::uint16_t u16;
    static std::uint8_t u8, bytes[64];
    static char text[32];
    static float floats[12];
    static const double d[1] = {1.0};
    static ZelOrb9AxisImuData imu;
    static ZelOrbRgbData rgb;
    static ZelOrbStreamStatistics stats;
    stats.size = sizeof stats;
    static Frame f1 = newFrame(), f2 = newFrame();
    rgb.data = bytes;
    std::vector<IpCall> calls = {
        DEVICE_CALL(ZelStart(ip)), DEVICE_CALL(ZelStop(ip)), DEVICE_CALL(ZelSoftTrigger(ip)),
        DEVICE_CALL(ZelSaveConfigureInfo(ip)), DEVICE_CALL(ZelRemoveConfigureInfo(ip)),
        DEVICE_CALL(ZelSetTriggerMode(ip, 1)), DEVICE_CALL(ZelGetTriggerMode(ip, &i32)),
        DEVICE_CALL(ZelSetExposureMode(ip, 1, 1)), DEVICE_CALL(ZelGetExposureMode(ip, 1, &u32)),
        DEVICE_CALL(ZelSetExposureTime(ip, 1, times, 1)), DEVICE_CALL(ZelGetExposureTime(ip, 1, times, 1, &i32)),
        DEVICE_CALL(ZelSetHardTriggerFilterParams(ip, 1000, 50)),
        DEVICE_CALL(ZelGetHardTriggerFilterParams(ip, &u32, &u32)),
        DEVICE_CALL(ZelSetRgbSensorGain(ip, 100)), DEVICE_CALL(ZelGetRgbSensorGain(ip, &u32)),
        DEVICE_CALL(ZelOrbGetRgbExposureTimeRange(ip, &u16, &u16)), DEVICE_CALL(ZelOrbGetRgbGainRange(ip, &u16, &u16)),
        DEVICE_CALL(ZelSetDistanceMeasureConfigure(ip, 1)), DEVICE_CALL(ZelGetDistanceMeasureConfigure(ip, &u8)),
        DEVICE_CALL(ZelOrbSetCalibrationDistanceOffset(ip, 5)),
        DEVICE_CALL(ZelOrbGetCalibrationDistanceOffset(ip, &u32)),
        DEVICE_CALL(ZelOrbSetDeviceSerialNumber(ip, "SN1")), DEVICE_CALL(ZelOrbGetDeviceSerialNumber(ip, bytes, 64)),
        DEVICE_CALL(ZelOrbGetDeviceType(ip, bytes, 64)),
        DEVICE_CALL(ZelOrbGetDeviceSoftwareVersion(ip, text, text + 16, 16)),
        DEVICE_CALL(ZelSetIntrinsicParam(ip, 2, floats)), DEVICE_CALL(ZelGetIntrinsicParam(ip, 2, floats)),
        DEVICE_CALL(ZelSetLidarToRgbExtrinsicParam(ip, floats)),
        DEVICE_CALL(ZelGetLidarToRgbExtrinsicParam(ip, floats)),
        DEVICE_CALL(ZelGetLidarToIMUExtrinsicParam(ip, floats)),
        LIBRARY_CALL(ZelOrbSetDistanceOffset(ip, 5)), LIBRARY_CALL(ZelOrbGetDistanceOffset(ip, &u32)),
        LIBRARY_CALL(ZelOrbDisconnectDevice(ip)), LIBRARY_CALL(ZelOrbSetDeviceMode(ip, 0)),
        LIBRARY_CALL(ZelOrbGetPointCloud(ip, rows(f1))),
        LIBRARY_CALL(ZelOrbGetDualEchoPointCloud(ip, rows(f1), rows(f2))),
        LIBRARY_CALL(ZelOrbRegisterCallbackUpdateFrame(ip, [](ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]) {})),
        LIBRARY_CALL(ZelOrbRegisterCallbackUpdate6AxisImuData(ip, [](ZelOrb6AxisImuData) {})),
        LIBRARY_CALL(ZelOrbRegisterCallbackUpdate9AxisImuData(ip, [](ZelOrb9AxisImuData) {})),
        LIBRARY_CALL(ZelOrbRegisterCallbackUpdateRgb(ip, [](ZelOrbRgbData) {})),
        LIBRARY_CALL(ZelOrbStartDevice9AxisImuStream(ip)), LIBRARY_CALL(ZelOrbStopDevice9AxisImuStream(ip)),
        LIBRARY_CALL(ZelOrbGet9AxisImu(ip, &imu)), LIBRARY_CALL(ZelOrbStartDeviceRgbStream(ip)),
        LIBRARY_CALL(ZelOrbStopDeviceRgbStream(ip)), LIBRARY_CALL(ZelOrbGetRgb(ip, &rgb)),
        LIBRARY_CALL(ZelOrbSetRgbUndistortion(ip, true)), LIBRARY_CALL(ZelOrbGetRGBDFusionData(ip, &rgb)),
        LIBRARY_CALL(ZelOrbSetDistanceFiltering(ip, true, 1, 2)),
        LIBRARY_CALL(ZelOrbSetDistanceCompensationEnabled(ip, true)),
        LIBRARY_CALL(ZelOrbSetIntensityFiltering(ip, true, d, d, 1)), LIBRARY_CALL(ZelOrbSetSpatialFilter(ip, true, 5)),
        LIBRARY_CALL(ZelOrbSetTimeMedianFilter(ip, true, 5, 100)), LIBRARY_CALL(ZelOrbSetFlyingFilter(ip, true, 300)),
        LIBRARY_CALL(ZelOrbGetStreamStatistics(ip, &stats)), LIBRARY_CALL(ZelOrbResetStreamStatistics(ip)),
        CALL(ZelOrbInitRGBDFusionParam(ip), RC_INVALID_TARGET, RC_GENERAL_ERROR),  // reading the parameters fails
    };
    return calls;
}

TEST_F(BadArgs, NullAndUnregisteredAddressesAreRefusedByEveryDeviceCall) {
    for (const IpCall& c : ipCalls()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(nullptr), c.nullIp);
        EXPECT_EQ(c.call(kAbsent), c.notRegistered);
        for (const char* ip : kNoAddress) EXPECT_EQ(c.call(ip), c.notRegistered) << '"' << ip << '"';
    }
    for (const char* ip : {static_cast<const char*>(nullptr), kAbsent, "abc"})
        EXPECT_FALSE(ZelGetDeviceRgbEnabled(ip) || ZelGetDeviceRgbRotation(ip));
}

TEST_F(BadArgs, ConnectRefusesInvalidAddressesAndPortZeroWithoutRegistering) {
    EXPECT_EQ(ZelOrbConnectDevice(nullptr, 6301), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbConnectDevice(kAbsent, 0), RC_INVALID_TARGET);
    for (const char* ip : kNoAddress) EXPECT_EQ(ZelOrbConnectDevice(ip, 6301), RC_INVALID_TARGET) << '"' << ip << '"';
    EXPECT_EQ(ZelOrbDisconnectDevice(kAbsent), RC_DEVICE_NOT_FOUND);
    for (const char* ip : kNoAddress) EXPECT_FALSE(withDevice(ip, [](orb::DeviceRecord&) {}));
}

struct ArgCase {
    const char* name;
    std::function<std::int32_t()> call;
    std::int32_t expected;
};
#define ARG(expr, code) {#expr, [&]() -> std::int32_t { return expr; }, code}

// The host's checks, in their order, before anything is sent; the detail
// message of the count checks is stored for the status text.
TEST_F(BadArgs, ConfigurationCallsCheckTheirArgumentsInOrderBeforeSending) {
    const std::uint32_t one[1] = {100}, zero[1] = {0}, lidarLong[1] = {4001}, rgbLong[1] = {1405};
    const std::uint32_t secondBad[2] = {100, 5000};
    const float floats[12] = {};
    struct Outputs {
        std::uint32_t u32;
        std::int32_t i32;
        std::uint16_t u16;
        std::uint8_t bytes[32];
        char text[32];
        float fl[12];
    } o;
    const std::int32_t kRange = DEV_PARAM_OUT_OF_RANGE, kNull = DEV_DATA_SIZE_MISMATCH, kSensor = DEV_TYPE_NOT_EXIST;
    const std::int32_t kCount = DEV_DEVICE_NOT_ON, kCapacity = DEV_SOCKET_SETUP_FAILED;
    const ArgCase cases[] = {
        ARG(ZelGetTriggerMode(kIp, nullptr), kNull),
        ARG(ZelSetExposureMode(kIp, 0, 1), kSensor), ARG(ZelSetExposureMode(kIp, 3, 0), kSensor),
        ARG(ZelSetExposureMode(kIp, -1, 0), kSensor), ARG(ZelGetExposureMode(kIp, 3, &o.u32), kSensor),
        ARG(ZelGetExposureMode(kIp, 1, nullptr), kNull),
        ARG(ZelSetExposureTime(kIp, 9, one, 0), kCount),  // the count comes before the sensor
        ARG(ZelSetExposureTime(kIp, 1, one, 5), kCount), ARG(ZelSetExposureTime(kIp, 1, one, -1), kCount),
        ARG(ZelSetExposureTime(kIp, 9, one, 1), kSensor), ARG(ZelSetExposureTime(kIp, 1, nullptr, 1), kNull),
        ARG(ZelSetExposureTime(kIp, 1, zero, 1), kRange), ARG(ZelSetExposureTime(kIp, 1, lidarLong, 1), kRange),
        ARG(ZelSetExposureTime(kIp, 2, rgbLong, 1), kRange), ARG(ZelSetExposureTime(kIp, 1, secondBad, 2), kRange),
        ARG(ZelGetExposureTime(kIp, 9, &o.u32, 0, &o.i32), kCapacity),  // the capacity before the sensor
        ARG(ZelGetExposureTime(kIp, 1, &o.u32, -5, &o.i32), kCapacity),
        ARG(ZelGetExposureTime(kIp, 0, &o.u32, 1, &o.i32), kSensor),
        ARG(ZelGetExposureTime(kIp, 1, nullptr, 1, &o.i32), kNull),
        ARG(ZelGetExposureTime(kIp, 1, &o.u32, 1, nullptr), kNull),
        ARG(ZelSetHardTriggerFilterParams(kIp, 999, 50), kRange),
        ARG(ZelSetHardTriggerFilterParams(kIp, 1000, 49), kRange),
        ARG(ZelSetHardTriggerFilterParams(kIp, 65536, 50), kRange),
        ARG(ZelSetHardTriggerFilterParams(kIp, 1000, 65536), kRange),
        ARG(ZelSetHardTriggerFilterParams(kIp, INT_MIN, INT_MIN), kRange),
        ARG(ZelGetHardTriggerFilterParams(kIp, nullptr, &o.u32), kNull),
        ARG(ZelGetHardTriggerFilterParams(kIp, &o.u32, nullptr), kNull),
        ARG(ZelSetRgbSensorGain(kIp, 15), kRange), ARG(ZelSetRgbSensorGain(kIp, 989), kRange),
        ARG(ZelSetRgbSensorGain(kIp, UINT32_MAX), kRange), ARG(ZelGetRgbSensorGain(kIp, nullptr), kNull),
        ARG(ZelOrbGetRgbExposureTimeRange(kIp, nullptr, &o.u16), kNull),
        ARG(ZelOrbGetRgbExposureTimeRange(kIp, &o.u16, nullptr), kNull),
        ARG(ZelOrbGetRgbGainRange(kIp, nullptr, &o.u16), kNull),
        ARG(ZelOrbGetRgbGainRange(kIp, &o.u16, nullptr), kNull),
        ARG(ZelGetDistanceMeasureConfigure(kIp, nullptr), kNull),
        ARG(ZelOrbGetCalibrationDistanceOffset(kIp, nullptr), kNull),
        ARG(ZelOrbGetDistanceOffset(kIp, nullptr), RC_PARAM_OUT_OF_BOUNDS),
        ARG(ZelOrbSetDeviceSerialNumber(kIp, nullptr), kNull), ARG(ZelOrbSetDeviceSerialNumber(kIp, ""), kNull),
        ARG(ZelOrbGetDeviceSerialNumber(kIp, nullptr, 32), kNull),
        ARG(ZelOrbGetDeviceSerialNumber(kIp, o.bytes, 0), kNull),
        ARG(ZelOrbGetDeviceType(kIp, nullptr, 32), kNull), ARG(ZelOrbGetDeviceType(kIp, o.bytes, 0), kNull),
        ARG(ZelOrbGetDeviceSoftwareVersion(kIp, nullptr, o.text, 32), kNull),
        ARG(ZelOrbGetDeviceSoftwareVersion(kIp, o.text, nullptr, 32), kNull),
        ARG(ZelOrbGetDeviceSoftwareVersion(kIp, o.text, o.text + 16, 15), kNull),
        ARG(ZelSetIntrinsicParam(kIp, 1, nullptr), DEV_DEVICE_NOT_SUPPORTED),  // LiDAR before the null check
        ARG(ZelSetIntrinsicParam(kIp, 3, floats), kSensor), ARG(ZelSetIntrinsicParam(kIp, 2, nullptr), kNull),
        ARG(ZelGetIntrinsicParam(kIp, 1, o.fl), DEV_DEVICE_NOT_SUPPORTED),
        ARG(ZelGetIntrinsicParam(kIp, 0, o.fl), kSensor),
        ARG(ZelGetIntrinsicParam(kIp, 2, nullptr), kNull), ARG(ZelSetLidarToRgbExtrinsicParam(kIp, nullptr), kNull),
        ARG(ZelGetLidarToRgbExtrinsicParam(kIp, nullptr), kNull),
        ARG(ZelGetLidarToIMUExtrinsicParam(kIp, nullptr), kNull),
        // The lookup comes first: bad arguments to an absent device report the absence.
        ARG(ZelGetTriggerMode(kAbsent, nullptr), DEV_HANDLE_NOT_IN_LIST),
        ARG(ZelSetExposureTime(kAbsent, 9, nullptr, 0), DEV_HANDLE_NOT_IN_LIST),
        ARG(ZelGetExposureTime(kAbsent, 1, &o.u32, 0, &o.i32), DEV_HANDLE_NOT_IN_LIST),
        ARG(ZelOrbGetDistanceOffset(kAbsent, nullptr), RC_DEVICE_NOT_FOUND),
        ARG(ZelOrbGetPointCloud(kAbsent, nullptr), RC_DEVICE_NOT_FOUND),
        ARG(ZelOrbRegisterCallbackUpdateFrame(kAbsent, nullptr), RC_DEVICE_NOT_FOUND),
        ARG(ZelOrbGet9AxisImu(kAbsent, nullptr), RC_DEVICE_NOT_FOUND),
    };
    EXPECT_STREQ(ZelGetReturnCodeDescriptor(DEV_SOCKET_SETUP_FAILED), "");  // no detail before a count check failed
    for (const ArgCase& c : cases) {
        SCOPED_TRACE(c.name);
        fillPattern(&o, sizeof o);
        EXPECT_EQ(c.call(), c.expected);
        EXPECT_TRUE(holdsPattern(&o, sizeof o));
    }
    for (std::int32_t code : {DEV_CONTROL_SOCKET_INVALID, DEV_DETAIL_MESSAGE, DEV_SOCKET_SETUP_FAILED})
        EXPECT_STREQ(ZelGetReturnCodeDescriptor(code), "The number of parameters exceeds the range.");
}

TEST_F(BadArgs, ValidCallsWithoutAControlSocketFailAfterThreeAttempts) {
    std::int32_t mode = 77;
    EXPECT_EQ(ZelGetTriggerMode(kIp, &mode), DEV_COMMAND_STRUCTURE_INCORRECT);
    EXPECT_EQ(mode, 77);
}

TEST_F(BadArgs, NullCallbacksFramesAndRecordsAreRefusedWithoutTakingTheData) {
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateFrame(kIp, nullptr), RC_CALLBACK_REGISTER_FAILED);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData(kIp, nullptr), RC_CALLBACK_REGISTER_FAILED);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kIp, nullptr), RC_CALLBACK_REGISTER_FAILED);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateRgb(kIp, nullptr), RC_CALLBACK_REGISTER_FAILED);
    Frame f = newFrame();
    EXPECT_EQ(ZelOrbGetPointCloud(kIp, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetDualEchoPointCloud(kIp, nullptr, rows(f)), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetDualEchoPointCloud(kIp, rows(f), nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetMaximumRangePointCloud(nullptr, rows(f), rows(f)), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetMaximumRangePointCloud(rows(f), nullptr, rows(f)), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetMaximumRangePointCloud(rows(f), rows(f), nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGet9AxisImu(kIp, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetRgb(kIp, nullptr), RC_INVALID_TARGET);
    ZelOrbRgbData rgb{};
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kIp, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kIp, &rgb), RC_INVALID_TARGET);  // no buffer behind data
    EXPECT_EQ(+rgb.size, 0u);
    const double d[2] = {1, 2};
    EXPECT_EQ(ZelOrbSetIntensityFiltering(kIp, true, nullptr, d, 2), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetIntensityFiltering(kIp, true, d, nullptr, 2), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetIntensityFiltering(nullptr, true, nullptr, nullptr, 3), RC_INVALID_TARGET);
}

TEST_F(BadArgs, ReceptionRecordingNetworkSettingsAndDiscoveryRefuseBadArgumentsBeforeAnyTraffic) {
    EXPECT_EQ(ZelOrbStartReceiveData(nullptr, 6001), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbStartReceiveData(kHost, 0), RC_LOCAL_PORT_NULL);
    for (std::int32_t port : {-1, 65536, INT_MAX, INT_MIN})
        EXPECT_EQ(ZelOrbStartReceiveData(kHost, port), RC_PORT_BIND_FAILED) << port;
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED) << "a refused start leaves nothing open";
    EXPECT_EQ(ZelOrbStartRecording(nullptr), RC_FILE_OPEN_FAILED);
    EXPECT_EQ(ZelOrbStartRecording(""), RC_FILE_OPEN_FAILED);
    EXPECT_EQ(ZelOrbStopRecording(), RC_RECORDING_NOT_STARTED);

    ZelOrbNetInfo info;
    fillPattern(&info, sizeof info);
    EXPECT_EQ(ZelOrbGetNetInfo(nullptr, &info), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetNetInfo(kIp, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetNetInfo(nullptr, &info), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetNetInfo(kIp, nullptr), RC_INVALID_TARGET);
    for (const char* ip : {"", "abc", "0.0.0.0", "256.1.1.1", "1.2.3"})
        EXPECT_EQ(ZelOrbGetNetInfo(ip, &info), RC_GET_NET_ADDRESS_FAILED) << ip;
    EXPECT_TRUE(holdsPattern(&info, sizeof info));
    const char* bad[][2] = {{"", "192.168.1.2"}, {"192.168.1.10", ""}, {"0.0.0.0", "192.168.1.2"},
                            {"192.168.1.10", "0.0.0.0"}, {"300.1.1.1", "192.168.1.2"}, {"192.168.1.10", "x.y.z.w"},
                            {"192.168.1", "192.168.1.2"}, {nullptr, "192.168.1.2"} /* no NUL in the field */};
    for (const auto& [lidar, host] : bad) {
        ZelOrbNetInfo r{};
        if (lidar) std::strcpy(r.lidar_ip, lidar);
        else std::memset(r.lidar_ip, '1', sizeof r.lidar_ip);
        std::strcpy(r.host_ip, host);
        EXPECT_EQ(ZelOrbSetNetInfo(kIp, &r), RC_SET_NET_ADDRESS_FAILED) << (lidar ? lidar : "111...") << " " << host;
    }

    ZelOrbFoundDevice found[2];
    fillPattern(found, sizeof found);
    std::int32_t counts[3] = {7, 7, 7};
    EXPECT_FALSE(ZelOrbActiveFindDevice(found, 0, &counts[0]) || ZelOrbActiveFindDevice(nullptr, 2, &counts[1]) ||
                 ZelOrbActiveFindDevice(found, 2, nullptr));
    EXPECT_NE(ZelOrbPassiveFindDevice(nullptr, &counts[2]), nullptr);
    EXPECT_NE(ZelOrbPassiveFindDevice("", &counts[2]), nullptr);
    EXPECT_NE(ZelOrbPassiveFindDevice(kHost, nullptr), nullptr);
    EXPECT_TRUE(counts[0] == -1 && counts[1] == -1 && counts[2] == -1 && holdsPattern(found, sizeof found));
}

// Every code the header names has a text of its own; formatted texts are cut
// to the buffer and never written past it.
TEST(ReturnCodes, EveryNamedCodeHasItsOwnTextAndBuffersAreNeverOverrun) {
    std::set<std::string> texts;
    for (std::int32_t c : {-1, 0, 1, -1981}) texts.insert(ZelOrbReturnCodeToString(c));  // -1981: the unknown text
    for (std::int32_t c = RC_RECORDING_NOT_STARTED; c <= RC_IMU_GET_FAILED; ++c) texts.insert(ZelOrbReturnCodeToString(c));
    EXPECT_EQ(texts.size(), 26u) << "a named library code falls back to the unknown text";
    std::set<std::string> statuses;
    const std::int32_t named[] = {0, 3, 4, 5, 6, 7, 8, 11, 32, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 47, 49, 255,
                                  -1};
    for (std::int32_t code : named) statuses.insert(ZelGetReturnCodeDescriptor(code));
    EXPECT_EQ(statuses.size(), std::size(named)) << "a named status falls back to the out-of-range text";
    char buf[64];
    EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(RC_DEVICE_NOT_FOUND, buf, sizeof buf), "Error [-1988]: Device not found");
    EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(RC_OK, buf, sizeof buf), "[0] OK");
    for (std::int32_t code : {INT_MIN, -2004, -2001, -1988, -1, 0, 1, 36, INT_MAX}) {
        fillPattern(buf, sizeof buf);
        EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(code, nullptr, 64), "Buffer is null or too small");
        EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(code, buf, 0), "Buffer is null or too small");
        EXPECT_TRUE(holdsPattern(buf, sizeof buf));
        for (std::size_t size : {1, 2, 7, 16}) {
            EXPECT_EQ(ZelOrbGetDetailedReturnInfo(code, buf, size), buf);
            EXPECT_TRUE(std::memchr(buf, 0, size) && holdsPattern(buf + size, sizeof buf - size)) << code << size;
        }
    }
}

// Last: disconnecting everything also removes a record that never had a
// connection, and calls on it then report it absent.
TEST_F(BadArgs, ZzDisconnectAllRemovesTheHandMadeRecord) {
    EXPECT_EQ(ZelOrbDisconnectAllDevice(), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelGetTriggerMode(kIp, nullptr), DEV_HANDLE_NOT_IN_LIST);
    EXPECT_EQ(ZelOrbDisconnectAllDevice(), RC_OK);
}

}  // namespace
