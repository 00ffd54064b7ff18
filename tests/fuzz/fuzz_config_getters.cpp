// Configuration getters over the command exchange, with the device's side
// played from the fuzz input through the in-memory socket layer: each
// request the library sends is answered by the next group of datagrams of the
// input (raw, with the request's command code patched in, wrapped as one
// well-formed frame, or sent from another address). Covers the exchange's
// acceptance of replies, the accumulation of chains and every getter's
// decoding, and holds the documented contract: outputs are written only on
// success, texts stay NUL-terminated, counts stay within the capacity.
//
// Input: getter selector, status byte for wrapped frames, a size argument,
// then groups: count, and per datagram a kind byte and a length-prefixed run.

#include "control/command.h"
#include "device/device.h"
#include "device/connection.h"
#include "device/context.h"
#include "fake_net.h"
#include "fuzz_io.h"
#include "orb_sdk.h"

namespace {

constexpr const char* kIp = "127.0.0.2";

using Group = std::vector<std::pair<std::uint8_t, orbtest::Bytes>>;  // kind, bytes
std::mutex gMutex;
std::deque<Group> gGroups;
std::uint8_t gStatus = 0;

void answer(orb::net::Socket s, const std::uint8_t* data, std::size_t n, const orb::net::Endpoint& to) {
    if (n < 8 || to.port != orb::kCommandPort) return;
    const std::uint16_t command = static_cast<std::uint16_t>((data[6] << 8) | data[7]);
    Group group;
    {
        std::lock_guard<std::mutex> lk(gMutex);
        if (gGroups.empty()) return;
        group = std::move(gGroups.front());
        gGroups.pop_front();
    }
    const orb::net::Endpoint device = orb::net::makeEndpoint(kIp, orb::kCommandPort);
    const orb::net::Endpoint stranger = orb::net::makeEndpoint("127.0.0.9", orb::kCommandPort);
    for (auto& [kind, bytes] : group) {
        switch (kind % 4) {
        case 0: orbfuzz::queueDatagram(s, bytes, device); break;
        case 1:
            if (bytes.size() >= 8) {
                bytes[6] = static_cast<std::uint8_t>(command >> 8);
                bytes[7] = static_cast<std::uint8_t>(command);
            }
            orbfuzz::queueDatagram(s, bytes, device);
            break;
        case 2: orbfuzz::queueDatagram(s, orbtest::commandFrame(command, gStatus, bytes), device); break;
        default: orbfuzz::queueDatagram(s, bytes, stranger); break;
        }
    }
}

orb::DeviceRecord& setUp() {
    static orb::DeviceRecord* dev = [] {
        FUZZ_CHECK(orb::libraryContext().control.open("127.0.0.1"));
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        reg.setHostIp("127.0.0.1");
        auto record = std::make_unique<orb::DeviceRecord>(kIp, 6301);
        record->ctrl.deviceControl = orb::net::makeEndpoint(kIp, orb::kCommandPort);
        orb::DeviceRecord* raw = record.get();
        reg.devices().emplace(kIp, std::move(record));
        return raw;
    }();
    return *dev;
}

// Every output a getter writes, filled with a pattern: a failed call must
// leave all of it alone.
struct Outputs {
    std::int32_t i32, count;
    std::uint32_t u32[8];
    std::uint16_t u16[2];
    std::uint8_t u8[40];
    char a[24], b[24];
    float f[12];
};

bool terminated(const void* p, std::size_t size) { return std::memchr(p, 0, size) != nullptr; }

void runGetter(std::uint8_t which, std::uint8_t arg) {
    const std::int32_t sensor = (arg & 1) ? 2 : 1, capacity = arg % 8;
    const std::uint32_t textSize = 1 + arg % 40, versionSize = 14 + arg % 10;
    Outputs o;
    orbtest::fillPattern(&o, sizeof o);
    std::int32_t rc = 0;
    bool ok = true;  // what a successful call must have written
    switch (which % 19) {
    case 0: rc = ZelGetTriggerMode(kIp, &o.i32), ok = o.i32 >= -128 && o.i32 <= 127; break;
    case 1: rc = ZelGetExposureMode(kIp, sensor, o.u32), ok = o.u32[0] <= 1; break;
    case 2:  // counts stay within the capacity, nothing written beyond them
        rc = ZelGetExposureTime(kIp, sensor, o.u32, capacity, &o.count);
        ok = o.count >= 0 && o.count <= capacity && orbtest::holdsPattern(o.u32 + o.count, (8 - o.count) * 4);
        break;
    case 3: rc = ZelGetHardTriggerFilterParams(kIp, &o.u32[0], &o.u32[1]); break;
    case 4: rc = ZelGetRgbSensorGain(kIp, o.u32); break;
    case 5: rc = ZelOrbGetRgbExposureTimeRange(kIp, &o.u16[0], &o.u16[1]); break;
    case 6: rc = ZelOrbGetRgbGainRange(kIp, &o.u16[0], &o.u16[1]); break;
    case 7: rc = ZelGetDistanceMeasureConfigure(kIp, o.u8); break;
    case 8: rc = ZelOrbGetCalibrationDistanceOffset(kIp, o.u32); break;
    case 9:
        rc = ZelOrbGetDistanceOffset(kIp, o.u32);
        FUZZ_CHECK(rc == RC_OK || rc == RC_GENERAL_ERROR);
        break;
    case 10:
    case 11:  // texts stay NUL-terminated within the size given
        rc = (which % 19 == 10 ? ZelOrbGetDeviceSerialNumber : ZelOrbGetDeviceType)(kIp, o.u8, textSize);
        ok = terminated(o.u8, textSize) && orbtest::holdsPattern(o.u8 + textSize, sizeof o.u8 - textSize);
        break;
    case 12:
        rc = ZelOrbGetDeviceSoftwareVersion(kIp, o.a, o.b, versionSize);
        ok = terminated(o.a, versionSize) && terminated(o.b, versionSize);
        break;
    case 13: rc = ZelGetIntrinsicParam(kIp, sensor, o.f); break;
    case 14: rc = ZelGetLidarToRgbExtrinsicParam(kIp, o.f); break;
    case 15: rc = ZelGetLidarToIMUExtrinsicParam(kIp, o.f); break;
    case 16: {
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        orb::runConnectionQueries(*reg.find(kIp));
        return;
    }
    case 17:
        rc = ZelOrbSetDistanceCompensationEnabled(kIp, true);
        FUZZ_CHECK(rc == RC_OK || rc == RC_GENERAL_ERROR);
        ZelOrbSetDistanceCompensationEnabled(kIp, false);
        return;
    default: ZelOrbInitRGBDFusionParam(kIp); return;
    }
    FUZZ_CHECK(rc == 0 ? ok : orbtest::holdsPattern(&o, sizeof o));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setUp();
    orbfuzz::Reader in(data, size);
    const std::uint8_t which = in.u8();
    const std::uint8_t arg = in.u8();
    {
        std::lock_guard<std::mutex> lk(gMutex);
        gStatus = in.u8();
        gGroups.clear();
        for (int g = 0; g < 16 && !in.empty(); ++g) {
            Group& group = gGroups.emplace_back();
            for (int i = in.u8() % 5; i > 0; --i) {
                const std::uint8_t kind = in.u8();
                group.emplace_back(kind, in.run());
            }
        }
    }
    orbfuzz::setSendHook(answer);
    runGetter(which, arg);
    orbfuzz::resetHooks();
    return 0;
}
