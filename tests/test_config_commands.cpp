// Configuration commands against the simulated camera's command responder on
// loopback (host 127.0.0.1, device 127.0.0.2): request bytes, reply decoding,
// host checks and their order, device statuses, short and oversized replies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "command_responder.h"
#include "control/command.h"
#include "device/context.h"
#include "orb_sdk.h"
#include "settings_store.h"
#include "wire_sim.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr const char* kIp = "127.0.0.2";
constexpr const char* kAbsent = "127.0.0.9";

Bytes DoublesLE(const std::vector<double>& v) {
    Bytes b;
    for (double d : v) orbsim::wire::putF64LE(b, d);
    return b;
}

// Every output any getter writes, pre-filled with a pattern so that a getter
// that must not write can be caught writing anything at all.
struct Outputs {
    Outputs() { std::memset(static_cast<void*>(this), 0xCD, sizeof *this); }
    bool untouched() const {
        Outputs fresh;
        return std::memcmp(this, &fresh, sizeof *this) == 0;
    }
    std::int32_t i32;
    std::uint32_t a, b;
    std::uint16_t h1, h2;
    std::uint8_t u8;
    std::uint32_t values[4];
    std::int32_t count;
    float floats[12];
    std::uint8_t text[24];
    char v1[20], v2[20];
};

// A getter, the reply bytes it needs to decode, and how to call it.
struct Getter {
    const char* name;
    std::uint16_t command;
    std::size_t need;
    bool libraryCodes;  // the distance-offset pair
    std::function<std::int32_t(Outputs&)> call;
};

const std::vector<Getter>& Getters() {
    static const std::vector<Getter> g = {
        {"trigger mode", 0x0304, 1, false, [](Outputs& o) { return ZelGetTriggerMode(kIp, &o.i32); }},
        {"lidar exposure mode", 0x030D, 1, false, [](Outputs& o) { return ZelGetExposureMode(kIp, 1, &o.a); }},
        {"rgb exposure mode", 0x032B, 1, false, [](Outputs& o) { return ZelGetExposureMode(kIp, 2, &o.a); }},
        {"lidar exposure time", 0x0306, 0, false,
         [](Outputs& o) { return ZelGetExposureTime(kIp, 1, o.values, 4, &o.count); }},
        {"rgb exposure time", 0x032C, 0, false,
         [](Outputs& o) { return ZelGetExposureTime(kIp, 2, o.values, 4, &o.count); }},
        {"hard trigger filter", 0x032F, 4, false,
         [](Outputs& o) { return ZelGetHardTriggerFilterParams(kIp, &o.a, &o.b); }},
        {"rgb gain", 0x0332, 2, false, [](Outputs& o) { return ZelGetRgbSensorGain(kIp, &o.a); }},
        {"rgb exposure range", 0x0338, 4, false,
         [](Outputs& o) { return ZelOrbGetRgbExposureTimeRange(kIp, &o.h1, &o.h2); }},
        {"rgb gain range", 0x0339, 4, false, [](Outputs& o) { return ZelOrbGetRgbGainRange(kIp, &o.h1, &o.h2); }},
        {"distance measure", 0x033D, 1, false, [](Outputs& o) { return ZelGetDistanceMeasureConfigure(kIp, &o.u8); }},
        {"calibration offset", 0x033C, 4, false,
         [](Outputs& o) { return ZelOrbGetCalibrationDistanceOffset(kIp, &o.a); }},
        {"distance offset", 0x033B, 4, true, [](Outputs& o) { return ZelOrbGetDistanceOffset(kIp, &o.a); }},
        {"serial number", 0x0300, 1, false,
         [](Outputs& o) { return ZelOrbGetDeviceSerialNumber(kIp, o.text, sizeof o.text); }},
        {"device type", 0x030F, 1, false, [](Outputs& o) { return ZelOrbGetDeviceType(kIp, o.text, sizeof o.text); }},
        {"software version", 0x0301, 8, false,
         [](Outputs& o) { return ZelOrbGetDeviceSoftwareVersion(kIp, o.v1, o.v2, sizeof o.v1); }},
        {"intrinsics", 0x032A, 32, false, [](Outputs& o) { return ZelGetIntrinsicParam(kIp, 2, o.floats); }},
        {"lidar-rgb extrinsics", 0x0329, 96, false,
         [](Outputs& o) { return ZelGetLidarToRgbExtrinsicParam(kIp, o.floats); }},
        {"lidar-imu extrinsics", 0x0336, 96, false,
         [](Outputs& o) { return ZelGetLidarToIMUExtrinsicParam(kIp, o.floats); }},
    };
    return g;
}

// A setter or action, and the exact payload it must send.
struct Sent {
    const char* name;
    std::function<std::int32_t()> call;
    std::uint16_t command;
    Bytes payload;
};

const float kIntrinsics[8] = {1500.5f, 1499.25f, 800.0f, -600.125f, 0.5f, -0.25f, 0.0625f, -1e-3f};
const float kExtrinsics[12] = {1, 0, 0, 0, -1, 0, 0, 0, 1, 0.125f, -2.5f, 1e6f};

const std::vector<Sent>& Sends() {
    static const std::uint32_t lidarTimes[] = {1, 4000};
    static const std::uint32_t rgbTime[] = {1404};
    static const std::vector<Sent> s = {
        {"start", [] { return ZelStart(kIp); }, 0x0000, {}},
        {"stop", [] { return ZelStop(kIp); }, 0x0001, {}},
        {"soft trigger", [] { return ZelSoftTrigger(kIp); }, 0x0002, {}},
        {"save", [] { return ZelSaveConfigureInfo(kIp); }, 0x0004, {}},
        {"remove", [] { return ZelRemoveConfigureInfo(kIp); }, 0x0005, {}},
        {"trigger mode", [] { return ZelSetTriggerMode(kIp, 0xAB); }, 0x0101, {0xAB}},
        {"lidar exposure on", [] { return ZelSetExposureMode(kIp, 1, 5); }, 0x0104, {0x03, 0xE8}},
        {"lidar exposure off", [] { return ZelSetExposureMode(kIp, 1, 0); }, 0x0104, {0x00, 0x00}},
        {"rgb exposure on", [] { return ZelSetExposureMode(kIp, 2, 7); }, 0x012B, {0x01}},
        {"lidar exposure times", [] { return ZelSetExposureTime(kIp, 1, lidarTimes, 2); }, 0x0104,
         {0x00, 0x01, 0x0F, 0xA0}},
        {"rgb exposure time", [] { return ZelSetExposureTime(kIp, 2, rgbTime, 1); }, 0x012C, {0x05, 0x7C}},
        {"hard trigger low", [] { return ZelSetHardTriggerFilterParams(kIp, 1000, 50); }, 0x0128,
         {0x03, 0xE8, 0x00, 0x32}},
        {"hard trigger high", [] { return ZelSetHardTriggerFilterParams(kIp, 65535, 65535); }, 0x0128,
         {0xFF, 0xFF, 0xFF, 0xFF}},
        {"gain low", [] { return ZelSetRgbSensorGain(kIp, 16); }, 0x0132, {0x00, 0x10}},
        {"gain high", [] { return ZelSetRgbSensorGain(kIp, 988); }, 0x0132, {0x03, 0xDC}},
        {"distance measure", [] { return ZelSetDistanceMeasureConfigure(kIp, 7); }, 0x013D, {0x07}},
        {"calibration offset", [] { return ZelOrbSetCalibrationDistanceOffset(kIp, 0x01020304); }, 0x013C,
         {0x01, 0x02, 0x03, 0x04}},
        {"distance offset", [] { return ZelOrbSetDistanceOffset(kIp, 0xA0B0C0D0); }, 0x013B,
         {0xA0, 0xB0, 0xC0, 0xD0}},
        {"serial", [] { return ZelOrbSetDeviceSerialNumber(kIp, "SN-42"); }, 0x0123, {'S', 'N', '-', '4', '2'}},
        {"intrinsics", [] { return ZelSetIntrinsicParam(kIp, 2, kIntrinsics); }, 0x012A,
         DoublesLE({kIntrinsics[0], kIntrinsics[1], kIntrinsics[2], kIntrinsics[3], kIntrinsics[4], kIntrinsics[5],
                    kIntrinsics[6], kIntrinsics[7]})},
        {"extrinsics", [] { return ZelSetLidarToRgbExtrinsicParam(kIp, kExtrinsics); }, 0x0129,
         DoublesLE(std::vector<double>(kExtrinsics, kExtrinsics + 12))},
    };
    return s;
}

class ConfigCommands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_TRUE(orb::libraryContext().control.open("127.0.0.1"));
        {
            auto& reg = orb::libraryContext().registry;
            std::unique_lock<std::shared_mutex> lock(reg.mutex());
            reg.setHostIp("127.0.0.1");
        }
        store_ = std::make_shared<orbsim::SettingsStore>(kIp);
        responder_ = std::make_unique<orbsim::CommandResponder>(store_, orbsim::ResponderOptions{});
        std::string error;
        ASSERT_TRUE(responder_->start(&error)) << error;
    }
    static void TearDownTestSuite() {
        ZelOrbDisconnectAllDevice();
        responder_.reset();
        store_.reset();
    }
    void SetUp() override {
        ASSERT_NE(responder_, nullptr);
        responder_->clearFaults();
        responder_->setSuccessStatus(0);
        store_->loadDefaults();
        const std::int32_t rc = ZelOrbConnectDevice(kIp, 6301);  // 1 when still connected
        ASSERT_TRUE(rc == RC_OK || rc == RC_DEVICE_EXISTS) << rc;
        responder_->clearRequests();
    }

    static std::shared_ptr<orbsim::SettingsStore> store_;
    static std::unique_ptr<orbsim::CommandResponder> responder_;
};
std::shared_ptr<orbsim::SettingsStore> ConfigCommands::store_;
std::unique_ptr<orbsim::CommandResponder> ConfigCommands::responder_;

TEST_F(ConfigCommands, SettersAndActionsSendExactlyTheirPayload) {
    for (const Sent& s : Sends()) {
        SCOPED_TRACE(s.name);
        responder_->clearRequests();
        EXPECT_EQ(s.call(), 0);
        const auto requests = responder_->requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].command(), s.command);
        EXPECT_EQ(requests[0].payload(), s.payload);
    }
    // The whole frame of an argument-less command.
    responder_->clearRequests();
    ASSERT_EQ(ZelSoftTrigger(kIp), 0);
    const Bytes frame = {0xA5, 0x5A, 0xAA, 0x55, 0x3F, 0, 0x00, 0x02, 0, 1, 0, 1, 0, 0, 0x5A, 0xA5, 0x55, 0xAA};
    EXPECT_EQ(responder_->requests().at(0).bytes, frame);
}

TEST_F(ConfigCommands, GettersSendOneEmptyRequestAndDecodeTheReply) {
    for (const Getter& g : Getters()) {
        SCOPED_TRACE(g.name);
        responder_->clearRequests();
        Outputs o;
        EXPECT_EQ(g.call(o), 0);
        const auto requests = responder_->requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].command(), g.command);
        EXPECT_TRUE(requests[0].payload().empty());
    }

    struct Case {
        const char* name;
        std::uint16_t command;
        Bytes reply;
        std::function<void(Outputs&)> check;  // calls the getter on fresh outputs
    };
    const std::vector<Case> cases = {
        {"signed trigger mode", 0x0304, {0xFF}, [](Outputs& o) {
             ASSERT_EQ(ZelGetTriggerMode(kIp, &o.i32), 0);
             EXPECT_EQ(o.i32, -1);
         }},
        {"exposure mode flag", 0x032B, {0x07}, [](Outputs& o) {
             ASSERT_EQ(ZelGetExposureMode(kIp, 2, &o.a), 0);
             EXPECT_EQ(o.a, 1u);
         }},
        {"odd exposure list", 0x0306, {0x00, 0x0A, 0x01, 0x00, 0x0F}, [](Outputs& o) {
             ASSERT_EQ(ZelGetExposureTime(kIp, 1, o.values, 2, &o.count), 0);
             EXPECT_EQ(o.count, 2);
             EXPECT_EQ(o.values[0], 10u);
             EXPECT_EQ(o.values[1], 256u);
             EXPECT_EQ(o.values[2], 0xCDCDCDCDu);
         }},
        {"hard trigger in order", 0x032F, {0x03, 0xE8, 0x00, 0x32}, [](Outputs& o) {
             ASSERT_EQ(ZelGetHardTriggerFilterParams(kIp, &o.a, &o.b), 0);
             EXPECT_EQ(o.a, 1000u);
             EXPECT_EQ(o.b, 50u);
         }},
        {"ranges second first", 0x0339, {0x03, 0xDC, 0x00, 0x10}, [](Outputs& o) {
             ASSERT_EQ(ZelOrbGetRgbGainRange(kIp, &o.h1, &o.h2), 0);
             EXPECT_EQ(o.h1, 16u);
             EXPECT_EQ(o.h2, 988u);
         }},
        {"u32 big-endian", 0x033C, {0x81, 0x02, 0x03, 0x04, 0xEE}, [](Outputs& o) {
             ASSERT_EQ(ZelOrbGetCalibrationDistanceOffset(kIp, &o.a), 0);
             EXPECT_EQ(o.a, 0x81020304u);
         }},
        {"version texts", 0x0301, {1, 2, 3, 4, 10, 11, 12, 13}, [](Outputs& o) {
             ASSERT_EQ(ZelOrbGetDeviceSoftwareVersion(kIp, o.v1, o.v2, 18), 0);
             EXPECT_STREQ(o.v1, "1.2.3.4");
             EXPECT_STREQ(o.v2, "10.11.12.13");
             EXPECT_EQ(o.v1[17], 0);  // zero-filled over size ...
             EXPECT_EQ(static_cast<std::uint8_t>(o.v1[18]), 0xCD);  // ... and not beyond
         }},
        {"intrinsics, ten of twelve", 0x032A, DoublesLE({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), [](Outputs& o) {
             ASSERT_EQ(ZelGetIntrinsicParam(kIp, 2, o.floats), 0);
             for (int i = 0; i < 10; ++i) EXPECT_EQ(o.floats[i], static_cast<float>(i + 1));
             std::uint32_t beyond = 0;
             std::memcpy(&beyond, &o.floats[10], sizeof beyond);
             EXPECT_EQ(beyond, 0xCDCDCDCDu);  // at most ten values are stored
         }},
        {"intrinsics, spare zeroed", 0x032A, DoublesLE({1, 2, 3, 4, 5}), [](Outputs& o) {
             ASSERT_EQ(ZelGetIntrinsicParam(kIp, 2, o.floats), 0);
             EXPECT_EQ(o.floats[4], 5.0f);
             for (int i = 5; i < 10; ++i) EXPECT_EQ(o.floats[i], 0.0f);
         }},
        {"extrinsics, huge double", 0x0336, DoublesLE({1e300, -1e300, 0.5, 0, 0, 0, 0, 0, 0, 0, 0, -7.25}),
         [](Outputs& o) {
             ASSERT_EQ(ZelGetLidarToIMUExtrinsicParam(kIp, o.floats), 0);
             EXPECT_EQ(o.floats[0], INFINITY);
             EXPECT_EQ(o.floats[1], -INFINITY);
             EXPECT_EQ(o.floats[2], 0.5f);
             EXPECT_EQ(o.floats[11], -7.25f);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        store_->setPayload(c.command, c.reply);
        Outputs o;
        c.check(o);
    }
}

TEST_F(ConfigCommands, WhatASetterStoresItsGetterReadsBack) {
    ASSERT_EQ(ZelSetIntrinsicParam(kIp, 2, kIntrinsics), 0);
    ASSERT_EQ(ZelSetLidarToRgbExtrinsicParam(kIp, kExtrinsics), 0);
    ASSERT_EQ(ZelOrbSetDistanceOffset(kIp, 123456789), 0);
    Outputs o;
    ASSERT_EQ(ZelGetIntrinsicParam(kIp, 2, o.floats), 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(o.floats[i], kIntrinsics[i]) << i;
    ASSERT_EQ(ZelGetLidarToRgbExtrinsicParam(kIp, o.floats), 0);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(o.floats[i], kExtrinsics[i]) << i;
    ASSERT_EQ(ZelOrbGetDistanceOffset(kIp, &o.a), 0);
    EXPECT_EQ(o.a, 123456789u);
}

TEST_F(ConfigCommands, TextRepliesMustFitTheCallersBuffer) {
    using TextGetter = std::int32_t (*)(const char*, std::uint8_t*, std::uint32_t);
    const std::pair<std::uint16_t, TextGetter> getters[] = {{0x0300, ZelOrbGetDeviceSerialNumber},
                                                             {0x030F, ZelOrbGetDeviceType}};
    for (const auto& g : getters) {
        SCOPED_TRACE(g.first);
        store_->setPayload(g.first, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});
        Outputs o;
        EXPECT_EQ(g.second(kIp, o.text, 8), DEV_BUFFER_OUT_OF_MEMORY);  // no room for the NUL
        EXPECT_TRUE(o.untouched());
        ASSERT_EQ(g.second(kIp, o.text, 10), 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(o.text)), "ABCDEFGH");
        EXPECT_EQ(o.text[9], 0);
        EXPECT_EQ(o.text[10], 0xCD);

        store_->setPayload(g.first, {});
        Outputs empty;
        EXPECT_EQ(g.second(kIp, empty.text, 8), DEV_DATA_SIZE_MISMATCH);
        EXPECT_TRUE(empty.untouched());
    }
}

TEST_F(ConfigCommands, ExposureTimeListMustFitTheCapacity) {
    store_->setPayload(0x032C, {0x00, 0x01, 0x02, 0x00, 0x05, 0x7C});
    Outputs o;
    EXPECT_EQ(ZelGetExposureTime(kIp, 2, o.values, 2, &o.count), DEV_BUFFER_OUT_OF_MEMORY);
    EXPECT_TRUE(o.untouched());
    ASSERT_EQ(ZelGetExposureTime(kIp, 2, o.values, 3, &o.count), 0);
    EXPECT_EQ(o.count, 3);
    EXPECT_EQ(o.values[0], 1u);
    EXPECT_EQ(o.values[1], 512u);
    EXPECT_EQ(o.values[2], 1404u);
}

TEST_F(ConfigCommands, ShortRepliesGive47AndWriteNothing) {
    for (const Getter& g : Getters()) {
        if (g.need == 0) continue;  // the exposure lists decode whatever length comes
        SCOPED_TRACE(g.name);
        store_->setPayload(g.command, Bytes(g.need - 1, 0x11));
        Outputs o;
        EXPECT_EQ(g.call(o), g.libraryCodes ? std::int32_t{RC_GENERAL_ERROR} : std::int32_t{DEV_DATA_SIZE_MISMATCH});
        EXPECT_TRUE(o.untouched());
    }
}

TEST_F(ConfigCommands, DeviceStatusIsReturnedAndNothingWritten) {
    orbsim::Fault fault;
    fault.status = 42;
    responder_->setFaultAll(fault);
    for (const Getter& g : Getters()) {
        SCOPED_TRACE(g.name);
        Outputs o;
        EXPECT_EQ(g.call(o), g.libraryCodes ? RC_GENERAL_ERROR : 42);
        EXPECT_TRUE(o.untouched());
    }
    for (const Sent& s : Sends()) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.call(), s.command == 0x013B ? RC_GENERAL_ERROR : 42);
    }
    // A status of 1 or 2 is success.
    responder_->clearFaults();
    responder_->setSuccessStatus(2);
    store_->setPayload(0x0332, {0x00, 0x40});
    Outputs o;
    ASSERT_EQ(ZelGetRgbSensorGain(kIp, &o.a), 0);
    EXPECT_EQ(o.a, 64u);
}

TEST_F(ConfigCommands, SilentDeviceGives4AndWritesNothing) {
    orbsim::Fault silent;
    silent.silent = true;
    responder_->setFault(0x0304, silent);
    Outputs o;
    EXPECT_EQ(ZelGetTriggerMode(kIp, &o.i32), DEV_COMMAND_STRUCTURE_INCORRECT);
    EXPECT_TRUE(o.untouched());
}

TEST_F(ConfigCommands, HostChecksComeInOrderAndSendNothing) {
    const std::uint32_t bad[] = {1, 4001};
    const std::uint32_t rgbTooLong[] = {1405};
    const std::uint32_t zero[] = {0};
    const std::uint32_t ok[] = {100};
    std::uint32_t u = 0, values[4] = {};
    std::uint16_t h = 0;
    std::uint8_t text[16] = {};
    std::int32_t i = 0;
    char v[16] = {};
    float f[12] = {};
    struct Check {
        const char* name;
        std::function<std::int32_t()> call;
        std::int32_t expected;
    };
    const std::vector<Check> checks = {
        // The lookup comes first: bad arguments on an absent device give 36 / -1988.
        {"absent set time", [] { return ZelSetExposureTime(kAbsent, 9, nullptr, 0); }, 36},
        {"absent intrinsics", [] { return ZelGetIntrinsicParam(kAbsent, 1, nullptr); }, 36},
        {"absent serial", [] { return ZelOrbGetDeviceSerialNumber(kAbsent, nullptr, 0); }, 36},
        {"absent offset get", [] { return ZelOrbGetDistanceOffset(kAbsent, nullptr); }, RC_DEVICE_NOT_FOUND},
        {"absent offset set", [] { return ZelOrbSetDistanceOffset(kAbsent, 1); }, RC_DEVICE_NOT_FOUND},
        // A null IP is no lookup miss.
        {"null ip action", [] { return ZelStart(nullptr); }, 47},
        {"null ip getter", [&] { return ZelGetTriggerMode(nullptr, &i); }, 47},
        {"null ip offset get", [&] { return ZelOrbGetDistanceOffset(nullptr, &u); }, RC_INVALID_TARGET},
        {"null ip offset set", [] { return ZelOrbSetDistanceOffset(nullptr, 1); }, RC_INVALID_TARGET},
        // Exposure time: count, then sensor, then the array, then each value.
        {"count before sensor", [&] { return ZelSetExposureTime(kIp, 9, ok, 5); }, 35},
        {"unknown sensor", [&] { return ZelSetExposureTime(kIp, 9, ok, 1); }, 41},
        {"null values", [] { return ZelSetExposureTime(kIp, 1, nullptr, 1); }, 47},
        {"zero time", [&] { return ZelSetExposureTime(kIp, 1, zero, 1); }, 5},
        {"second value too long", [&] { return ZelSetExposureTime(kIp, 1, bad, 2); }, 5},
        {"rgb time too long", [&] { return ZelSetExposureTime(kIp, 2, rgbTooLong, 1); }, 5},
        {"capacity before sensor", [&] { return ZelGetExposureTime(kIp, 9, values, 0, &i); }, 250},
        {"get unknown sensor", [&] { return ZelGetExposureTime(kIp, 3, values, 4, &i); }, 41},
        {"get null values", [&] { return ZelGetExposureTime(kIp, 1, nullptr, 4, &i); }, 47},
        {"get null count", [&] { return ZelGetExposureTime(kIp, 1, values, 4, nullptr); }, 47},
        {"set mode sensor", [] { return ZelSetExposureMode(kIp, 3, 1); }, 41},
        {"get mode sensor", [&] { return ZelGetExposureMode(kIp, 0, &u); }, 41},
        {"trigger first low", [] { return ZelSetHardTriggerFilterParams(kIp, 999, 50); }, 5},
        {"trigger second low", [] { return ZelSetHardTriggerFilterParams(kIp, 1000, 49); }, 5},
        {"trigger first high", [] { return ZelSetHardTriggerFilterParams(kIp, 65536, 50); }, 5},
        {"trigger second high", [] { return ZelSetHardTriggerFilterParams(kIp, 1000, 65536); }, 5},
        {"gain low", [] { return ZelSetRgbSensorGain(kIp, 15); }, 5},
        {"gain high", [] { return ZelSetRgbSensorGain(kIp, 989); }, 5},
        {"null serial", [] { return ZelOrbSetDeviceSerialNumber(kIp, nullptr); }, 47},
        {"empty serial", [] { return ZelOrbSetDeviceSerialNumber(kIp, ""); }, 47},
        {"serial size 0", [&] { return ZelOrbGetDeviceSerialNumber(kIp, text, 0); }, 47},
        {"type null", [] { return ZelOrbGetDeviceType(kIp, nullptr, 8); }, 47},
        {"version small", [&] { return ZelOrbGetDeviceSoftwareVersion(kIp, v, v, 15); }, 47},
        {"version null", [&] { return ZelOrbGetDeviceSoftwareVersion(kIp, v, nullptr, 16); }, 47},
        {"lidar intrinsics before null", [] { return ZelSetIntrinsicParam(kIp, 1, nullptr); }, 38},
        {"intrinsics sensor", [&] { return ZelGetIntrinsicParam(kIp, 3, f); }, 41},
        {"intrinsics null", [] { return ZelGetIntrinsicParam(kIp, 2, nullptr); }, 47},
        {"extrinsics null set", [] { return ZelSetLidarToRgbExtrinsicParam(kIp, nullptr); }, 47},
        {"extrinsics null get", [] { return ZelGetLidarToIMUExtrinsicParam(kIp, nullptr); }, 47},
        {"trigger null", [] { return ZelGetTriggerMode(kIp, nullptr); }, 47},
        {"pair first null", [&] { return ZelGetHardTriggerFilterParams(kIp, nullptr, &u); }, 47},
        {"range second null", [&] { return ZelOrbGetRgbExposureTimeRange(kIp, &h, nullptr); }, 47},
        {"measure null", [] { return ZelGetDistanceMeasureConfigure(kIp, nullptr); }, 47},
        {"offset null", [] { return ZelOrbGetDistanceOffset(kIp, nullptr); }, RC_PARAM_OUT_OF_BOUNDS},
    };
    for (const Check& c : checks) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.expected);
    }
    EXPECT_TRUE(responder_->requests().empty());
}

TEST_F(ConfigCommands, CountChecksStoreTheDetailMessage) {
    const std::string before = ZelGetReturnCodeDescriptor(250);
    std::uint32_t values[4];
    std::int32_t count = 0;
    ASSERT_EQ(ZelGetExposureTime(kAbsent, 1, values, 0, &count), 36);
    EXPECT_EQ(before, ZelGetReturnCodeDescriptor(250));  // the lookup failed first
    ASSERT_EQ(ZelGetExposureTime(kIp, 1, values, 0, &count), 250);
    EXPECT_STREQ(ZelGetReturnCodeDescriptor(250), "The number of parameters exceeds the range.");
    EXPECT_STREQ(ZelGetReturnCodeDescriptor(48), "The number of parameters exceeds the range.");
    EXPECT_TRUE(responder_->requests().empty());
}

TEST_F(ConfigCommands, CachedRgbGettersSendNothing) {
    store_->setPayload(0x0328, {1, 0x06, 0x40, 0x04, 0xB0});
    store_->setPayload(0x0337, {3});
    ASSERT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);  // reruns the connection queries
    responder_->clearRequests();
    EXPECT_TRUE(ZelGetDeviceRgbEnabled(kIp));
    EXPECT_TRUE(ZelGetDeviceRgbRotation(kIp));
    EXPECT_FALSE(ZelGetDeviceRgbEnabled(kAbsent));
    EXPECT_FALSE(ZelGetDeviceRgbRotation(nullptr));

    store_->setPayload(0x0328, {0});
    store_->setPayload(0x0337, {0});
    ASSERT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    responder_->clearRequests();
    EXPECT_FALSE(ZelGetDeviceRgbEnabled(kIp));
    EXPECT_FALSE(ZelGetDeviceRgbRotation(kIp));
    EXPECT_TRUE(responder_->requests().empty());
}

// A disconnection does not wait for other calls on the device: a command in
// flight finishes on the record it holds, and later calls find no device.
TEST_F(ConfigCommands, CommandInFlightFinishesAcrossADisconnect) {
    orbsim::Fault slow;
    slow.delayMs = 150;  // below the exchange's 300 ms receive time-out
    responder_->setFault(0x033C, slow);
    store_->setPayload(0x033C, {0, 0, 0x12, 0x34});
    std::int32_t rc = -100;
    std::uint32_t offset = 0;
    std::thread getter([&] { rc = ZelOrbGetCalibrationDistanceOffset(kIp, &offset); });
    ASSERT_TRUE(responder_->waitForRequests(1, 2000));
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_OK);
    getter.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(offset, 0x1234u);
    EXPECT_EQ(ZelOrbGetCalibrationDistanceOffset(kIp, &offset), 36);
}

}  // namespace
