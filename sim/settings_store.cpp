#include "settings_store.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <cstring>

#include "wire_sim.h"

namespace orbsim {

namespace {

using wire::Bytes;

// The RGB camera: a fisheye lens on a 1600 x 1200 sensor, principal point
// near the centre, roughly 120 degrees across. Two spare values follow k4.
const std::vector<double> kDefaultIntrinsics = {760.0, 760.0, 800.5, 600.5, 0.021, -0.0045, 0.0012, -0.00018,
                                                0.0,   0.0};

// LiDAR frame: x forward, y growing with the scan column (to the right), z
// up. Camera frame: x right, y down, z along the optical axis. The camera
// sits 2 units above the LiDAR, so camera = R * lidar + T with T = (0, 2, 0),
// and the projected depth equals the point's range x.
const std::vector<double> kDefaultExtrinsics = {0.0, 1.0,  0.0,   //
                                                0.0, 0.0,  -1.0,  //
                                                1.0, 0.0,  0.0,   //
                                                0.0, 2.0,  0.0};

// The IMU board is mounted axis-aligned, a little behind and below the optics.
const std::vector<double> kDefaultLidarToImu = {1.0, 0.0, 0.0,  //
                                                0.0, 1.0, 0.0,  //
                                                0.0, 0.0, 1.0,  //
                                                -1.5, 0.0, -3.0};

Bytes u16s(std::initializer_list<std::uint16_t> values) {
    Bytes b;
    for (auto v : values) wire::putU16BE(b, v);
    return b;
}

Bytes u32(std::uint32_t v) {
    Bytes b;
    wire::putU32BE(b, v);
    return b;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Setter -> getter it feeds, and the payload sizes the camera accepts.
struct SetterRule {
    std::uint16_t setter;
    std::uint16_t getter;
    std::size_t minSize;
    std::size_t maxSize;
    bool evenSize;      // a list of u16 values
    bool mergePrefix;   // overwrite the front of the stored payload, keep the rest
};

const SetterRule kSetterRules[] = {
    {cmd::kSetTriggerMode, cmd::kGetTriggerMode, 1, 1, false, false},
    {cmd::kSetLidarExposure, cmd::kGetLidarExposureTime, 2, 8, true, false},  // see applySetter
    {cmd::kSetSerialNumber, cmd::kGetSerialNumber, 1, 64, false, false},
    {cmd::kSetHardTriggerFilter, cmd::kGetHardTriggerFilter, 4, 4, false, false},
    {cmd::kSetLidarToRgbExtrinsics, cmd::kGetLidarToRgbExtrinsics, 96, 96, false, false},
    {cmd::kSetRgbIntrinsics, cmd::kGetRgbIntrinsics, 64, 64, false, true},
    {cmd::kSetRgbExposureMode, cmd::kGetRgbExposureMode, 1, 1, false, false},
    {cmd::kSetRgbExposureTime, cmd::kGetRgbExposureTime, 2, 8, true, false},
    {cmd::kSetRgbGain, cmd::kGetRgbGain, 2, 2, false, false},
    {cmd::kSetDistanceOffset, cmd::kGetDistanceOffset, 4, 4, false, false},
    {cmd::kSetCalibrationOffset, cmd::kGetCalibrationOffset, 4, 4, false, false},
    {cmd::kSetDistanceMeasure, cmd::kGetDistanceMeasure, 1, 1, false, false},
};

const SetterRule* findRule(std::uint16_t setter) {
    for (const auto& r : kSetterRules)
        if (r.setter == setter) return &r;
    return nullptr;
}

const std::uint16_t kGetters[] = {
    cmd::kGetSerialNumber,     cmd::kGetSoftwareVersion,   cmd::kGetTriggerMode,
    cmd::kGetLidarExposureTime, cmd::kGetLidarExposureMode, cmd::kGetDeviceType,
    cmd::kGetRgbEnabled,       cmd::kGetLidarToRgbExtrinsics, cmd::kGetRgbIntrinsics,
    cmd::kGetRgbExposureMode,  cmd::kGetRgbExposureTime,   cmd::kGetHardTriggerFilter,
    cmd::kGetRgbGain,          cmd::kGetLidarToImuExtrinsics, cmd::kGetRgbRotation,
    cmd::kGetRgbExposureRange, cmd::kGetRgbGainRange,      cmd::kGetDistanceOffset,
    cmd::kGetCalibrationOffset, cmd::kGetDistanceMeasure,  cmd::kGetInverted,
};

std::string defaultSerial(const std::string& ip) {
    // Distinct per simulated address, stable across runs.
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(ip.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) c = d = 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "ORBSIM%03u%03u", c % 1000, d % 1000);
    return buf;
}

}  // namespace

SettingsStore::SettingsStore(const std::string& deviceIp) : deviceIp_(deviceIp) {
    net_.lidarIp = deviceIp;
    net_.hostIp = "127.0.0.1";
    loadDefaults();
}

void SettingsStore::loadDefaults() {
    std::map<std::uint16_t, Bytes> p;
    p[cmd::kGetSerialNumber] = text(defaultSerial(deviceIp_));
    p[cmd::kGetDeviceType] = text("ORB-3D-L150");
    p[cmd::kGetSoftwareVersion] = {1, 4, 2, 0, 2, 1, 0, 7};  // firmware, then FPGA
    p[cmd::kGetTriggerMode] = {0};
    p[cmd::kGetLidarExposureMode] = {1};
    p[cmd::kGetLidarExposureTime] = u16s({1000});
    p[cmd::kGetRgbExposureMode] = {1};
    p[cmd::kGetRgbExposureTime] = u16s({600});
    p[cmd::kGetHardTriggerFilter] = u16s({1000, 50});
    p[cmd::kGetRgbGain] = u16s({64});
    // Ranges carry the maximum first, then the minimum.
    p[cmd::kGetRgbExposureRange] = u16s({1404, 1});
    p[cmd::kGetRgbGainRange] = u16s({988, 16});
    p[cmd::kGetDistanceMeasure] = {0};
    p[cmd::kGetCalibrationOffset] = u32(0);
    p[cmd::kGetDistanceOffset] = u32(0);
    p[cmd::kGetRgbIntrinsics] = wire::doublesLE(kDefaultIntrinsics);
    p[cmd::kGetLidarToRgbExtrinsics] = wire::doublesLE(kDefaultExtrinsics);
    p[cmd::kGetLidarToImuExtrinsics] = wire::doublesLE(kDefaultLidarToImu);
    p[cmd::kGetInverted] = {0};
    p[cmd::kGetRgbEnabled] = {1, 0x06, 0x40, 0x04, 0xB0};  // enabled, 1600, 1200
    p[cmd::kGetRgbRotation] = {0};
    std::lock_guard<std::mutex> lk(mutex_);
    payloads_ = std::move(p);
}

bool SettingsStore::isGetter(std::uint16_t command) {
    for (auto g : kGetters)
        if (g == command) return true;
    return false;
}

bool SettingsStore::isSetter(std::uint16_t command) { return findRule(command) != nullptr; }

std::uint8_t SettingsStore::applySetter(std::uint16_t setter, const std::vector<std::uint8_t>& payload) {
    const SetterRule* r = findRule(setter);
    if (!r) return status::kCommandUndefined;
    const std::size_t n = payload.size();
    if (n < r->minSize || n > r->maxSize || (r->evenSize && n % 2 != 0)) return status::kStructureIncorrect;

    std::lock_guard<std::mutex> lk(mutex_);
    if (setter == cmd::kSetLidarExposure) {
        // One code serves both the LiDAR exposure mode (a single u16, 1000 for
        // "on", 0 for "off") and the exposure time list (u16 values 1..4000).
        // 0 is no valid exposure time, so a lone 0 only switches the mode off;
        // a lone 1000 switches the mode on and is also a time of 1000; any
        // other payload is a time list and leaves the mode alone.
        if (n == 2) {
            const std::uint16_t v = wire::getU16BE(payload.data());
            if (v == 0) {
                payloads_[cmd::kGetLidarExposureMode] = {0};
                return status::kOk;
            }
            if (v == 1000) payloads_[cmd::kGetLidarExposureMode] = {1};
        }
        payloads_[r->getter] = payload;
        return status::kOk;
    }
    if (r->mergePrefix) {
        Bytes& stored = payloads_[r->getter];
        if (stored.size() < n) stored.resize(n);
        std::copy(payload.begin(), payload.end(), stored.begin());
        return status::kOk;
    }
    payloads_[r->getter] = payload;
    return status::kOk;
}

std::vector<std::uint8_t> SettingsStore::payload(std::uint16_t getterCommand) const {
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = payloads_.find(getterCommand);
    return it == payloads_.end() ? std::vector<std::uint8_t>() : it->second;
}

void SettingsStore::setPayload(std::uint16_t getterCommand, std::vector<std::uint8_t> bytes) {
    std::lock_guard<std::mutex> lk(mutex_);
    payloads_[getterCommand] = std::move(bytes);
}

HandshakeInfo SettingsStore::handshake() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return handshake_;
}

void SettingsStore::setHandshake(const HandshakeInfo& h) {
    std::lock_guard<std::mutex> lk(mutex_);
    handshake_ = h;
}

int SettingsStore::deviceMode() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return deviceMode_;
}

void SettingsStore::setDeviceMode(int mode) {
    std::lock_guard<std::mutex> lk(mutex_);
    deviceMode_ = mode;
}

NetSettings SettingsStore::netSettings() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return net_;
}

void SettingsStore::setNetSettings(const NetSettings& n) {
    std::lock_guard<std::mutex> lk(mutex_);
    net_ = n;
}

namespace {
std::vector<double> doublesLE(const std::vector<std::uint8_t>& p) {
    std::vector<double> out;
    for (std::size_t off = 0; off + 8 <= p.size(); off += 8) {
        std::uint64_t bits = 0;
        for (int b = 7; b >= 0; --b) bits = (bits << 8) | p[off + static_cast<std::size_t>(b)];
        double d;
        std::memcpy(&d, &bits, sizeof d);
        out.push_back(d);
    }
    return out;
}
}  // namespace

std::vector<double> SettingsStore::intrinsics() const { return doublesLE(payload(cmd::kGetRgbIntrinsics)); }
std::vector<double> SettingsStore::extrinsics() const { return doublesLE(payload(cmd::kGetLidarToRgbExtrinsics)); }

void SettingsStore::setIntrinsics(const std::vector<double>& v) { setPayload(cmd::kGetRgbIntrinsics, wire::doublesLE(v)); }

void SettingsStore::setExtrinsics(const std::vector<double>& v) {
    setPayload(cmd::kGetLidarToRgbExtrinsics, wire::doublesLE(v));
}

std::string SettingsStore::serialNumber() const {
    Bytes b = payload(cmd::kGetSerialNumber);
    return std::string(b.begin(), b.end());
}

void SettingsStore::countSent(std::uint16_t destinationPort) {
    std::lock_guard<std::mutex> lk(sentMutex_);
    ++sentByPort_[destinationPort];
}

std::map<std::uint16_t, std::uint64_t> SettingsStore::sentByPort() const {
    std::lock_guard<std::mutex> lk(sentMutex_);
    return sentByPort_;
}

}  // namespace orbsim
