// Guards every exported call against null pointers, invalid or unregistered addresses, zero sizes and out-of-range values: each returns its code and writes, sends and changes nothing.
// A record is registered by hand without sockets: a call that wrongly went on
// to a command exchange would come back with "no reply" (4) instead.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <set>

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

#define DEVICE_CALL(expr) {#expr, [](const char* ip) -> std::int32_t { return expr; }, DEV_DATA_SIZE_MISMATCH, DEV_HANDLE_NOT_IN_LIST}
#define LIBRARY_CALL(expr) {#expr, [](const char* ip) -> std::int32_t { return expr; }, RC_INVALID_TARGET, RC_DEVICE_NOT_FOUND}

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
    static Frame f1 = newFrame(), f2 = newFrame();
    rgb.data = bytes;
    std::vector<IpCall> calls = {
        DEVICE_CALL(ZelStart(ip)), DEVICE_CALL(ZelStop(ip)), DEVICE_CALL(ZelSoftTrigger(ip)),
        DEVICE_CALL(ZelSaveConfigureInfo(ip)), DEVICE_CALL(ZelRemoveConfigureInfo(ip)),
        DEVICE_CALL(ZelSetTriggerMode(ip, 1)), DEVICE_CALL(ZelGetTriggerMode(ip, &i32)),
        DEVICE_CALL(ZelSetExposureMode(ip, 1, 1)), DEVICE_CALL(ZelGetExposureMode(ip, 1, &u32)),
        DEVICE_CALL(ZelSetExposureTime(ip, 1, times, 1)), DEVICE_CALL(ZelGetExposureTime(ip, 1, times, 1, &i32)),
        DEVICE_CALL(ZelSetHardTriggerFilterParams(ip, 1000, 50)), DEVICE_CALL(ZelGetHardTriggerFilterParams(ip, &u32, &u32)),
        DEVICE_CALL(ZelSetRgbSensorGain(ip, 100)), DEVICE_CALL(ZelGetRgbSensorGain(ip, &u32)),
        DEVICE_CALL(ZelOrbGetRgbExposureTimeRange(ip, &u16, &u16)), DEVICE_CALL(ZelOrbGetRgbGainRange(ip, &u16, &u16)),
        DEVICE_CALL(ZelSetDistanceMeasureConfigure(ip, 1)), DEVICE_CALL(ZelGetDistanceMeasureConfigure(ip, &u8)),
        DEVICE_CALL(ZelOrbSetCalibrationDistanceOffset(ip, 5)), DEVICE_CALL(ZelOrbGetCalibrationDistanceOffset(ip, &u32)),
        DEVICE_CALL(ZelOrbSetDeviceSerialNumber(ip, "SN1")), DEVICE_CALL(ZelOrbGetDeviceSerialNumber(ip, bytes, 64)),
        DEVICE_CALL(ZelOrbGetDeviceType(ip, bytes, 64)), DEVICE_CALL(ZelOrbGetDeviceSoftwareVersion(ip, text, text + 16, 16)),
        DEVICE_CALL(ZelSetIntrinsicParam(ip, 2, floats)), DEVICE_CALL(ZelGetIntrinsicParam(ip, 2, floats)),
        DEVICE_CALL(ZelSetLidarToRgbExtrinsicParam(ip, floats)), DEVICE_CALL(ZelGetLidarToRgbExtrinsicParam(ip, floats)),
        DEVICE_CALL(ZelGetLidarToIMUExtrinsicParam(ip, floats)),
        LIBRARY_CALL(ZelOrbSetDistanceOffset(ip, 5)), LIBRARY_CALL(ZelOrbGetDistanceOffset(ip, &u32)),
        LIBRARY_CALL(ZelOrbDisconnectDevice(ip)), LIBRARY_CALL(ZelOrbSetDeviceMode(ip, 0)),
        LIBRARY_CALL(ZelOrbGetPointCloud(ip, rows(f1))), LIBRARY_CALL(ZelOrbGetDualEchoPointCloud(ip, rows(f1), rows(f2))),
        LIBRARY_CALL(ZelOrbRegisterCallbackUpdateFrame(ip, [](ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]) {})),
        LIBRARY_CALL(ZelOrbRegisterCallbackUpdate6AxisImuData(ip, [](ZelOrb6AxisImuData) {})),
        LIBRARY_CALL(ZelOrbRegisterCallbackUpdate9AxisImuData(ip, [](ZelOrb9AxisImuData) {})),
        LIBRARY_CALL(ZelOrbRegisterCallbackUpdateRgb(ip, [](ZelOrbRgbData) {})),
        LIBRARY_CALL(ZelOrbStartDevice9AxisImuStream(ip)), LIBRARY_CALL(ZelOrbStopDevice9AxisImuStream(ip)),
        LIBRARY_CALL(ZelOrbGet9AxisImu(ip, &imu)), LIBRARY_CALL(ZelOrbStartDeviceRgbStream(ip)),
        LIBRARY_CALL(ZelOrbStopDeviceRgbStream(ip)), LIBRARY_CALL(ZelOrbGetRgb(ip, &rgb)),
        LIBRARY_CALL(ZelOrbSetRgbUndistortion(ip, true)), LIBRARY_CALL(ZelOrbGetRGBDFusionData(ip, &rgb)),
        LIBRARY_CALL(ZelOrbSetDistanceFiltering(ip, true, 1, 2)), LIBRARY_CALL(ZelOrbSetDistanceCompensationEnabled(ip, true)),
        LIBRARY_CALL(ZelOrbSetIntensityFiltering(ip, true, d, d, 1)), LIBRARY_CALL(ZelOrbSetSpatialFilter(ip, true, 5)),
        LIBRARY_CALL(ZelOrbSetTimeMedianFilter(ip, true, 5, 100)), LIBRARY_CALL(ZelOrbSetFlyingFilter(ip, true, 300)),
        LIBRARY_CALL(ZelOrbInitRGBDFusionParam(ip)),
    };
    calls.back().notRegistered = RC_GENERAL_ERROR;  // reading the parameters fails
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
#define ARG_CASE(expr, code) {#expr, [&]() -> std::int32_t { return expr; }, code}

// The host's checks, in their order, before anything is sent; the detail
// message of the count checks is stored for the status text.
TEST_F(BadArgs, ConfigurationCallsCheckTheirArgumentsInOrderBeforeSending) {
    const std::uint32_t one[1] = {100}, zero[1] = {0}, lidarLong[1] = {4001}, rgbLong[1] = {1405}, secondBad[2] = {100, 5000};
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
    const ArgCase cases[] = {
        ARG_CASE(ZelGetTriggerMode(kIp, nullptr), kNull),
        ARG_CASE(ZelSetExposureMode(kIp, 0, 1), kSensor), ARG_CASE(ZelSetExposureMode(kIp, 3, 0), kSensor),
        ARG_CASE(ZelSetExposureMode(kIp, -1, 0), kSensor), ARG_CASE(ZelGetExposureMode(kIp, 3, &o.u32), kSensor),
        ARG_CASE(ZelGetExposureMode(kIp, 1, nullptr), kNull),
        ARG_CASE(ZelSetExposureTime(kIp, 9, one, 0), DEV_DEVICE_NOT_ON),  // the count comes before the sensor
        ARG_CASE(ZelSetExposureTime(kIp, 1, one, 5), DEV_DEVICE_NOT_ON), ARG_CASE(ZelSetExposureTime(kIp, 1, one, -1), DEV_DEVICE_NOT_ON),
        ARG_CASE(ZelSetExposureTime(kIp, 9, one, 1), kSensor), ARG_CASE(ZelSetExposureTime(kIp, 1, nullptr, 1), kNull),
        ARG_CASE(ZelSetExposureTime(kIp, 1, zero, 1), kRange), ARG_CASE(ZelSetExposureTime(kIp, 1, lidarLong, 1), kRange),
        ARG_CASE(ZelSetExposureTime(kIp, 2, rgbLong, 1), kRange), ARG_CASE(ZelSetExposureTime(kIp, 1, secondBad, 2), kRange),
        ARG_CASE(ZelGetExposureTime(kIp, 9, &o.u32, 0, &o.i32), DEV_SOCKET_SETUP_FAILED),  // capacity before sensor
        ARG_CASE(ZelGetExposureTime(kIp, 1, &o.u32, -5, &o.i32), DEV_SOCKET_SETUP_FAILED),
        ARG_CASE(ZelGetExposureTime(kIp, 0, &o.u32, 1, &o.i32), kSensor),
        ARG_CASE(ZelGetExposureTime(kIp, 1, nullptr, 1, &o.i32), kNull), ARG_CASE(ZelGetExposureTime(kIp, 1, &o.u32, 1, nullptr), kNull),
        ARG_CASE(ZelSetHardTriggerFilterParams(kIp, 999, 50), kRange), ARG_CASE(ZelSetHardTriggerFilterParams(kIp, 1000, 49), kRange),
        ARG_CASE(ZelSetHardTriggerFilterParams(kIp, 65536, 50), kRange), ARG_CASE(ZelSetHardTriggerFilterParams(kIp, 1000, 65536), kRange),
        ARG_CASE(ZelSetHardTriggerFilterParams(kIp, INT_MIN, INT_MIN), kRange),
        ARG_CASE(ZelGetHardTriggerFilterParams(kIp, nullptr, &o.u32), kNull), ARG_CASE(ZelGetHardTriggerFilterParams(kIp, &o.u32, nullptr), kNull),
        ARG_CASE(ZelSetRgbSensorGain(kIp, 15), kRange), ARG_CASE(ZelSetRgbSensorGain(kIp, 989), kRange),
        ARG_CASE(ZelSetRgbSensorGain(kIp, UINT32_MAX), kRange), ARG_CASE(ZelGetRgbSensorGain(kIp, nullptr), kNull),
        ARG_CASE(ZelOrbGetRgbExposureTimeRange(kIp, nullptr, &o.u16), kNull), ARG_CASE(ZelOrbGetRgbExposureTimeRange(kIp, &o.u16, nullptr), kNull),
        ARG_CASE(ZelOrbGetRgbGainRange(kIp, nullptr, &o.u16), kNull), ARG_CASE(ZelOrbGetRgbGainRange(kIp, &o.u16, nullptr), kNull),
        ARG_CASE(ZelGetDistanceMeasureConfigure(kIp, nullptr), kNull),
        ARG_CASE(ZelOrbGetCalibrationDistanceOffset(kIp, nullptr), kNull),
        ARG_CASE(ZelOrbGetDistanceOffset(kIp, nullptr), RC_PARAM_OUT_OF_BOUNDS),
        ARG_CASE(ZelOrbSetDeviceSerialNumber(kIp, nullptr), kNull), ARG_CASE(ZelOrbSetDeviceSerialNumber(kIp, ""), kNull),
        ARG_CASE(ZelOrbGetDeviceSerialNumber(kIp, nullptr, 32), kNull), ARG_CASE(ZelOrbGetDeviceSerialNumber(kIp, o.bytes, 0), kNull),
        ARG_CASE(ZelOrbGetDeviceType(kIp, nullptr, 32), kNull), ARG_CASE(ZelOrbGetDeviceType(kIp, o.bytes, 0), kNull),
        ARG_CASE(ZelOrbGetDeviceSoftwareVersion(kIp, nullptr, o.text, 32), kNull),
        ARG_CASE(ZelOrbGetDeviceSoftwareVersion(kIp, o.text, nullptr, 32), kNull),
        ARG_CASE(ZelOrbGetDeviceSoftwareVersion(kIp, o.text, o.text + 16, 15), kNull),
        ARG_CASE(ZelSetIntrinsicParam(kIp, 1, nullptr), DEV_DEVICE_NOT_SUPPORTED),  // LiDAR before the null check
        ARG_CASE(ZelSetIntrinsicParam(kIp, 3, floats), kSensor), ARG_CASE(ZelSetIntrinsicParam(kIp, 2, nullptr), kNull),
        ARG_CASE(ZelGetIntrinsicParam(kIp, 1, o.fl), DEV_DEVICE_NOT_SUPPORTED), ARG_CASE(ZelGetIntrinsicParam(kIp, 0, o.fl), kSensor),
        ARG_CASE(ZelGetIntrinsicParam(kIp, 2, nullptr), kNull),
        ARG_CASE(ZelSetLidarToRgbExtrinsicParam(kIp, nullptr), kNull), ARG_CASE(ZelGetLidarToRgbExtrinsicParam(kIp, nullptr), kNull),
        ARG_CASE(ZelGetLidarToIMUExtrinsicParam(kIp, nullptr), kNull),
        // The lookup comes first: bad arguments to an absent device report the absence.
        ARG_CASE(ZelGetTriggerMode(kAbsent, nullptr), DEV_HANDLE_NOT_IN_LIST),
        ARG_CASE(ZelSetExposureTime(kAbsent, 9, nullptr, 0), DEV_HANDLE_NOT_IN_LIST),
        ARG_CASE(ZelGetExposureTime(kAbsent, 1, &o.u32, 0, &o.i32), DEV_HANDLE_NOT_IN_LIST),
        ARG_CASE(ZelOrbGetDistanceOffset(kAbsent, nullptr), RC_DEVICE_NOT_FOUND),
        ARG_CASE(ZelOrbGetPointCloud(kAbsent, nullptr), RC_DEVICE_NOT_FOUND),
        ARG_CASE(ZelOrbRegisterCallbackUpdateFrame(kAbsent, nullptr), RC_DEVICE_NOT_FOUND),
        ARG_CASE(ZelOrbGet9AxisImu(kAbsent, nullptr), RC_DEVICE_NOT_FOUND),
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

TEST_F(BadArgs, ReceptionNetworkSettingsAndDiscoveryRefuseBadArgumentsBeforeAnyTraffic) {
    EXPECT_EQ(ZelOrbStartReceiveData(nullptr, 6001), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbStartReceiveData(kHost, 0), RC_LOCAL_PORT_NULL);
    for (std::int32_t port : {-1, 65536, INT_MAX, INT_MIN}) EXPECT_EQ(ZelOrbStartReceiveData(kHost, port), RC_PORT_BIND_FAILED);
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED);  // a refused start leaves nothing open

    ZelOrbNetInfo info;
    fillPattern(&info, sizeof info);
    EXPECT_EQ(ZelOrbGetNetInfo(nullptr, &info), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetNetInfo(kIp, nullptr), RC_INVALID_TARGET);
    for (const char* ip : {"", "abc", "0.0.0.0", "256.1.1.1", "1.2.3"}) EXPECT_EQ(ZelOrbGetNetInfo(ip, &info), RC_GET_NET_ADDRESS_FAILED);
    EXPECT_TRUE(holdsPattern(&info, sizeof info));
    EXPECT_EQ(ZelOrbSetNetInfo(nullptr, &info), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetNetInfo(kIp, nullptr), RC_INVALID_TARGET);
    const std::pair<const char*, const char*> bad[] = {{"", "192.168.1.2"}, {"192.168.1.10", ""}, {"0.0.0.0", "192.168.1.2"},
                                                       {"192.168.1.10", "0.0.0.0"}, {"300.1.1.1", "192.168.1.2"},
                                                       {"192.168.1.10", "x.y.z.w"}, {"192.168.1", "192.168.1.2"}};
    for (const auto& [lidar, host] : bad) {
        ZelOrbNetInfo r{};
        std::strcpy(r.lidar_ip, lidar);
        std::strcpy(r.host_ip, host);
        EXPECT_EQ(ZelOrbSetNetInfo(kIp, &r), RC_SET_NET_ADDRESS_FAILED) << lidar << " / " << host;
    }
    ZelOrbNetInfo unterminated{};  // an address filling its whole field without a NUL
    std::memset(unterminated.lidar_ip, '1', sizeof unterminated.lidar_ip);
    std::strcpy(unterminated.host_ip, "192.168.1.2");
    EXPECT_EQ(ZelOrbSetNetInfo(kIp, &unterminated), RC_SET_NET_ADDRESS_FAILED);

    ZelOrbFoundDevice found[2];
    fillPattern(found, sizeof found);
    std::int32_t count = 7;
    EXPECT_FALSE(ZelOrbActiveFindDevice(found, 0, &count));
    EXPECT_EQ(count, -1);
    count = 7;
    EXPECT_FALSE(ZelOrbActiveFindDevice(nullptr, 2, &count));
    EXPECT_EQ(count, -1);
    EXPECT_FALSE(ZelOrbActiveFindDevice(found, 2, nullptr));
    EXPECT_TRUE(holdsPattern(found, sizeof found));
    for (const char* local : {static_cast<const char*>(nullptr), ""}) {
        count = 7;
        EXPECT_NE(ZelOrbPassiveFindDevice(local, &count), nullptr);
        EXPECT_EQ(count, -1);
    }
    EXPECT_NE(ZelOrbPassiveFindDevice(kHost, nullptr), nullptr);
}

// Every code the header names has a text of its own; formatted texts are cut
// to the buffer and never written past it.
TEST(ReturnCodes, EveryNamedCodeHasItsOwnTextAndBuffersAreNeverOverrun) {
    const std::int32_t library[] = {RC_LOCAL_PORT_NULL, RC_INVALID_TARGET, RC_PORT_BIND_FAILED, RC_HANDSHAKE_FAILED,
                                    RC_FILE_OPEN_FAILED, RC_FILE_READ_FAILED, RC_SOCKET_CLOSE_FAILED, RC_SOCKET_INIT_FAILED,
                                    RC_GET_DATA_FAILED, RC_CALLBACK_REGISTER_FAILED, RC_SET_NET_ADDRESS_FAILED,
                                    RC_GET_NET_ADDRESS_FAILED, RC_DEVICE_NOT_FOUND, RC_PARAM_OUT_OF_BOUNDS,
                                    RC_MULTICAST_INIT_FAILED, RC_RGB_START_FAILED, RC_RGB_GET_FAILED, RC_IMU_START_FAILED,
                                    RC_IMU_GET_FAILED, RC_GENERAL_ERROR, RC_OK, RC_DEVICE_EXISTS};
    const std::int32_t device[] = {DEV_SUCCESS, DEV_COMMAND_UNDEFINED, DEV_COMMAND_STRUCTURE_INCORRECT,
                                   DEV_PARAM_OUT_OF_RANGE, DEV_FILE_LENGTH_INCORRECT, DEV_FILE_MD5_FAILED,
                                   DEV_ALREADY_CALIBRATED, DEV_CALIBRATION_AREA_INVALID, DEV_EXECUTION_TIMEOUT,
                                   DEV_RESOURCE_NOT_INITIALIZED, DEV_DEVICE_NOT_ON, DEV_HANDLE_NOT_IN_LIST,
                                   DEV_FILE_OPEN_FAILED, DEV_DEVICE_NOT_SUPPORTED, DEV_PROTOCOL_VERSION_MISMATCH,
                                   DEV_BUFFER_OUT_OF_MEMORY, DEV_TYPE_NOT_EXIST, DEV_TYPE_INPUT_ERROR,
                                   DEV_THREAD_EXIT_TIMEOUT, DEV_DATA_TYPE_MISMATCH, DEV_FRAME_NOT_READY,
                                   DEV_DATA_SIZE_MISMATCH, DEV_INDEX_NOT_EXIST, DEV_UNDEFINED_ERROR};
    std::set<std::string> texts;
    for (std::int32_t code : library) texts.insert(ZelOrbReturnCodeToString(code));
    texts.insert(ZelOrbReturnCodeToString(-1981));
    EXPECT_EQ(texts.size(), std::size(library) + 1) << "a named library code falls back to the unknown text";
    texts.clear();
    for (std::int32_t code : device) texts.insert(ZelGetReturnCodeDescriptor(code));
    texts.insert(ZelGetReturnCodeDescriptor(-1));
    EXPECT_EQ(texts.size(), std::size(device) + 1) << "a named status falls back to the out-of-range text";

    char buf[64];
    EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(RC_DEVICE_NOT_FOUND, buf, sizeof buf), "Error [-1988]: Device not found");
    EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(RC_OK, buf, sizeof buf), "[0] OK");
    for (std::int32_t code : {INT_MIN, -2001, -1988, -1, 0, 1, 36, INT_MAX}) {
        EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(code, nullptr, 64), "Buffer is null or too small");
        fillPattern(buf, sizeof buf);
        EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(code, buf, 0), "Buffer is null or too small");
        EXPECT_TRUE(holdsPattern(buf, sizeof buf));
        for (std::size_t size : {1, 2, 7, 16}) {
            fillPattern(buf, sizeof buf);
            EXPECT_EQ(ZelOrbGetDetailedReturnInfo(code, buf, size), buf);
            EXPECT_NE(std::memchr(buf, 0, size), nullptr) << "terminated inside the buffer";
            EXPECT_TRUE(holdsPattern(buf + size, sizeof buf - size));
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
