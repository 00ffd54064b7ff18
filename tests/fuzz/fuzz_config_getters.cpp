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
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "control/command.h"
#include "device/device.h"
#include "device/connection.h"
#include "device/context.h"
#include "fake_net.h"
#include "fuzz_check.h"
#include "fuzz_io.h"
#include "orb_sdk.h"

namespace {

constexpr const char* kIp = "127.0.0.2";

struct Script {
    std::mutex mutex;
    std::deque<std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>>> groups;
    std::uint8_t status = 0;
};
Script gScript;

std::vector<std::uint8_t> wrap(std::uint8_t status, std::uint16_t command, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> f = {0xA5, 0x5A, 0xAA, 0x55, 0x3F, status, static_cast<std::uint8_t>(command >> 8),
                                   static_cast<std::uint8_t>(command), 0, 1, 0, 1,
                                   static_cast<std::uint8_t>(payload.size() >> 8),
                                   static_cast<std::uint8_t>(payload.size())};
    f.insert(f.end(), payload.begin(), payload.end());
    f.insert(f.end(), {0x5A, 0xA5, 0x55, 0xAA});
    return f;
}

void answer(orb::net::Socket s, const std::uint8_t* data, std::size_t n, const orb::net::Endpoint& to) {
    if (n < 8 || to.port != orb::kCommandPort) return;
    const std::uint16_t command = static_cast<std::uint16_t>((data[6] << 8) | data[7]);
    std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> group;
    std::uint8_t status;
    {
        std::lock_guard<std::mutex> lk(gScript.mutex);
        if (gScript.groups.empty()) return;
        group = std::move(gScript.groups.front());
        gScript.groups.pop_front();
        status = gScript.status;
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
        case 2: orbfuzz::queueDatagram(s, wrap(status, command, bytes), device); break;
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

// Fills a buffer with a pattern and tells whether it still holds it.
template <class T, std::size_t N>
struct Guarded {
    T v[N];
    Guarded() { std::memset(v, 0xA7, sizeof v); }
    bool untouched() const {
        const auto* b = reinterpret_cast<const std::uint8_t*>(v);
        for (std::size_t i = 0; i < sizeof v; ++i)
            if (b[i] != 0xA7) return false;
        return true;
    }
};

void checkText(const std::uint8_t* b, std::size_t size) {
    bool nul = false;
    for (std::size_t i = 0; i < size && !nul; ++i) nul = b[i] == 0;
    FUZZ_CHECK(nul);
}

void runGetter(std::uint8_t which, std::uint8_t arg) {
    const std::int32_t sensor = (arg & 1) ? 2 : 1;
    switch (which % 19) {
    case 0: {
        Guarded<std::int32_t, 1> out;
        if (ZelGetTriggerMode(kIp, out.v) != 0) FUZZ_CHECK(out.untouched());
        else FUZZ_CHECK(out.v[0] >= -128 && out.v[0] <= 127);
        break;
    }
    case 1: {
        Guarded<std::uint32_t, 1> out;
        if (ZelGetExposureMode(kIp, sensor, out.v) != 0) FUZZ_CHECK(out.untouched());
        else FUZZ_CHECK(out.v[0] <= 1);
        break;
    }
    case 2: {
        const std::int32_t capacity = arg % 8;
        Guarded<std::uint32_t, 8> values;
        Guarded<std::int32_t, 1> count;
        const std::int32_t rc = ZelGetExposureTime(kIp, sensor, values.v, capacity, count.v);
        if (rc != 0) {
            FUZZ_CHECK(values.untouched() && count.untouched());
        } else {
            FUZZ_CHECK(count.v[0] >= 0 && count.v[0] <= capacity);
            for (std::int32_t i = count.v[0]; i < 8; ++i) FUZZ_CHECK(values.v[i] == 0xA7A7A7A7u);
        }
        break;
    }
    case 3: {
        Guarded<std::uint32_t, 2> out;
        if (ZelGetHardTriggerFilterParams(kIp, &out.v[0], &out.v[1]) != 0) FUZZ_CHECK(out.untouched());
        break;
    }
    case 4: {
        Guarded<std::uint32_t, 1> out;
        if (ZelGetRgbSensorGain(kIp, out.v) != 0) FUZZ_CHECK(out.untouched());
        break;
    }
    case 5: {
        Guarded<std::uint16_t, 2> out;
        if (ZelOrbGetRgbExposureTimeRange(kIp, &out.v[0], &out.v[1]) != 0) FUZZ_CHECK(out.untouched());
        break;
    }
    case 6: {
        Guarded<std::uint16_t, 2> out;
        if (ZelOrbGetRgbGainRange(kIp, &out.v[0], &out.v[1]) != 0) FUZZ_CHECK(out.untouched());
        break;
    }
    case 7: {
        Guarded<std::uint8_t, 1> out;
        if (ZelGetDistanceMeasureConfigure(kIp, out.v) != 0) FUZZ_CHECK(out.untouched());
        break;
    }
    case 8: {
        Guarded<std::uint32_t, 1> out;
        if (ZelOrbGetCalibrationDistanceOffset(kIp, out.v) != 0) FUZZ_CHECK(out.untouched());
        break;
    }
    case 9: {
        Guarded<std::uint32_t, 1> out;
        const std::int32_t rc = ZelOrbGetDistanceOffset(kIp, out.v);
        FUZZ_CHECK(rc == RC_OK || rc == RC_GENERAL_ERROR);
        if (rc != 0) FUZZ_CHECK(out.untouched());
        break;
    }
    case 10:
    case 11: {
        const std::uint32_t size = 1 + arg % 40;
        Guarded<std::uint8_t, 40> out;
        const std::int32_t rc = which % 19 == 10 ? ZelOrbGetDeviceSerialNumber(kIp, out.v, size)
                                                 : ZelOrbGetDeviceType(kIp, out.v, size);
        if (rc != 0) {
            FUZZ_CHECK(out.untouched());
        } else {
            checkText(out.v, size);
            for (std::size_t i = size; i < 40; ++i) FUZZ_CHECK(out.v[i] == 0xA7);
        }
        break;
    }
    case 12: {
        const std::uint32_t size = 14 + arg % 10;
        Guarded<char, 24> a, b;
        if (ZelOrbGetDeviceSoftwareVersion(kIp, a.v, b.v, size) != 0) {
            FUZZ_CHECK(a.untouched() && b.untouched());
        } else {
            checkText(reinterpret_cast<const std::uint8_t*>(a.v), size);
            checkText(reinterpret_cast<const std::uint8_t*>(b.v), size);
        }
        break;
    }
    case 13: {
        Guarded<float, 10> out;
        if (ZelGetIntrinsicParam(kIp, sensor, out.v) != 0) FUZZ_CHECK(out.untouched());
        break;
    }
    case 14: {
        Guarded<float, 12> out;
        if (ZelGetLidarToRgbExtrinsicParam(kIp, out.v) != 0) FUZZ_CHECK(out.untouched());
        break;
    }
    case 15: {
        Guarded<float, 12> out;
        if (ZelGetLidarToIMUExtrinsicParam(kIp, out.v) != 0) FUZZ_CHECK(out.untouched());
        break;
    }
    case 16: {
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        orb::runConnectionQueries(*reg.find(kIp));
        break;
    }
    case 17: {
        const std::int32_t rc = ZelOrbSetDistanceCompensationEnabled(kIp, true);
        FUZZ_CHECK(rc == RC_OK || rc == RC_GENERAL_ERROR);
        ZelOrbSetDistanceCompensationEnabled(kIp, false);
        break;
    }
    default: ZelOrbInitRGBDFusionParam(kIp); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setUp();
    orbfuzz::Reader in(data, size);
    const std::uint8_t which = in.u8();
    const std::uint8_t arg = in.u8();
    {
        std::lock_guard<std::mutex> lk(gScript.mutex);
        gScript.status = in.u8();
        gScript.groups.clear();
        for (int g = 0; g < 16 && !in.empty(); ++g) {
            std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> group;
            const int count = in.u8() % 5;
            for (int i = 0; i < count; ++i) {
                const std::uint8_t kind = in.u8();
                std::vector<std::uint8_t> bytes = in.run();
                group.emplace_back(kind, std::move(bytes));
            }
            gScript.groups.push_back(std::move(group));
        }
    }
    orbfuzz::setSendHook(answer);
    runGetter(which, arg);
    orbfuzz::resetHooks();
    return 0;
}
