#include "control/net_settings.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "control/control_server.h"
#include "core/api_guard.h"
#include "core/callback_guard.h"
#include "core/device.h"
#include "core/registry.h"
#include "platform/net.h"

namespace orb {

const char* const kModeFrameSingleEchoHex = "5aa50106000001659a00010400000000000000309b01000000";
const char* const kModeFrameDualEchoHex = "5aa50106000001659a00010400000000000000308709000000";
const char* const kModeReplyHex = "5aa50106000000659a000104000100000000004b0000000000";

namespace {

constexpr std::size_t kAddressTextLimit = 35;
constexpr std::size_t kRenderedTextLimit = 39;
constexpr std::uint8_t kProcessingSingleEcho = 3;
constexpr std::uint8_t kProcessingDualEcho = 7;

// Bytes 12..43 as last read from each device, so that a write gives back
// what the library does not interpret instead of zeroing it.
struct ExtrasMap {
    std::mutex mutex;
    std::map<std::string, std::vector<std::uint8_t>> byIp;
};

ExtrasMap& extras() {
    static ExtrasMap m;
    return m;
}

bool parseAddressField(const char* field, std::size_t fieldSize, std::uint8_t out[4]) {
    std::size_t len = 0;
    while (len < fieldSize && len < kAddressTextLimit && field[len] != '\0') ++len;
    const std::string text(field, len);
    std::uint32_t addr = 0;
    if (!net::parseIPv4(text.c_str(), addr) || addr == 0) return false;
    std::memcpy(out, &addr, 4);  // already network order
    return true;
}

bool renderAddress(const std::uint8_t* p, char* field, std::size_t fieldSize) {
    std::uint32_t addr = 0;
    std::memcpy(&addr, p, 4);
    const std::string text = net::formatIPv4(addr);
    if (text.empty()) return false;
    const std::size_t n = std::min({text.size(), kRenderedTextLimit, fieldSize - 1});
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
    return true;
}

void putLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

bool EncodeNetSettings(const ZelOrbNetInfo& info, const std::uint8_t* extra, std::uint8_t out[kNetSettingsSize]) {
    std::uint8_t bytes[kNetSettingsSize] = {};
    if (!parseAddressField(info.lidar_ip, sizeof info.lidar_ip, bytes)) return false;
    if (!parseAddressField(info.host_ip, sizeof info.host_ip, bytes + 4)) return false;
    putLE16(bytes + 8, info.lidar_port);
    putLE16(bytes + 10, info.host_port);
    if (extra) std::memcpy(bytes + kNetSettingsExtraOffset, extra, kNetSettingsExtraSize);
    std::memcpy(out, bytes, kNetSettingsSize);
    return true;
}

bool DecodeNetSettings(const std::uint8_t* data, std::size_t n, ZelOrbNetInfo& out) {
    if (!data || n != kNetSettingsSize) return false;
    ZelOrbNetInfo info{};
    if (!renderAddress(data, info.lidar_ip, sizeof info.lidar_ip)) return false;
    if (!renderAddress(data + 4, info.host_ip, sizeof info.host_ip)) return false;
    info.lidar_port = static_cast<std::uint16_t>(data[8] | (data[9] << 8));
    info.host_port = static_cast<std::uint16_t>(data[10] | (data[11] << 8));
    out = info;
    return true;
}

bool RememberedNetSettingsExtra(const char* ip, std::uint8_t out[kNetSettingsExtraSize]) {
    if (!ip) return false;
    ExtrasMap& m = extras();
    std::lock_guard<std::mutex> lk(m.mutex);
    auto it = m.byIp.find(ip);
    if (it == m.byIp.end() || it->second.size() != kNetSettingsExtraSize) return false;
    std::memcpy(out, it->second.data(), kNetSettingsExtraSize);
    return true;
}

void ForgetNetSettingsExtras() {
    ExtrasMap& m = extras();
    std::lock_guard<std::mutex> lk(m.mutex);
    m.byIp.clear();
}

}  // namespace orb

extern "C" {

int32_t ZelOrbGetNetInfo(const char* ip, ZelOrbNetInfo* info) {
    return orb::apiGuard<int32_t>(RC_GET_NET_ADDRESS_FAILED, [&]() -> int32_t {
        if (!ip || !info) return RC_INVALID_TARGET;
        orb::ControlServerLock lock;
        if (orb::ControlServerConnect(lock, ip, orb::kNetSettingsTimeoutMs) != orb::kControlServerConnected)
            return RC_GET_NET_ADDRESS_FAILED;
        std::vector<std::uint8_t> data;
        const std::uint32_t result =
            orb::ControlServerExchange(lock, orb::kCsCmdGetNetSettings, nullptr, 0, &data, 2);
        ZelOrbNetInfo decoded{};
        const bool ok = result == 0 && orb::DecodeNetSettings(data.data(), data.size(), decoded);
        if (ok) {
            orb::ExtrasMap& m = orb::extras();
            std::lock_guard<std::mutex> lk(m.mutex);
            m.byIp[ip].assign(data.begin() + orb::kNetSettingsExtraOffset, data.end());
        }
        orb::ControlServerDisconnect(lock);
        if (!ok) return RC_GET_NET_ADDRESS_FAILED;
        *info = decoded;
        return RC_OK;
    });
}

int32_t ZelOrbSetNetInfo(const char* ip, const ZelOrbNetInfo* info) {
    return orb::apiGuard<int32_t>(RC_SET_NET_ADDRESS_FAILED, [&]() -> int32_t {
        if (!ip || !info) return RC_INVALID_TARGET;
        std::uint8_t extra[orb::kNetSettingsExtraSize] = {};
        const bool haveExtra = orb::RememberedNetSettingsExtra(ip, extra);
        std::uint8_t payload[orb::kNetSettingsSize];
        // Checked before connecting: a record that cannot be sent costs no traffic.
        if (!orb::EncodeNetSettings(*info, haveExtra ? extra : nullptr, payload)) return RC_SET_NET_ADDRESS_FAILED;
        orb::ControlServerLock lock;
        if (orb::ControlServerConnect(lock, ip, orb::kNetSettingsTimeoutMs) != orb::kControlServerConnected)
            return RC_SET_NET_ADDRESS_FAILED;
        const std::uint32_t result = orb::ControlServerExchange(lock, orb::kCsCmdSetNetSettings, payload,
                                                                orb::kNetSettingsSize, nullptr, 2);
        orb::ControlServerDisconnect(lock);
        return result == 0 ? RC_OK : RC_SET_NET_ADDRESS_FAILED;
    });
}

int32_t ZelOrbSetDeviceMode(const char* ip, int32_t mode) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        if (orb::inAnyCallback()) return RC_GENERAL_ERROR;  // would wait on the callback's own mutex
        orb::Registry& reg = orb::Registry::get();
        std::unique_lock<std::shared_mutex> registryLock(reg.mutex());
        orb::DeviceRecord* dev = reg.find(ip);
        if (!dev) return RC_DEVICE_NOT_FOUND;

        orb::ControlServerLock lock;
        if (orb::ControlServerConnect(lock, ip, orb::kDeviceModeTimeoutMs) != orb::kControlServerConnected)
            return RC_GENERAL_ERROR;
        bool confirmed = true;
        if (mode == 0 || mode == 1) {
            const char* frame = mode == 0 ? orb::kModeFrameSingleEchoHex : orb::kModeFrameDualEchoHex;
            confirmed = orb::ControlServerModeSequence(lock, 3, frame, orb::kModeReplyHex);
            // Stored even unconfirmed: the device may have switched without its reply reaching us.
            dev->stream.processingMode.store(mode == 0 ? orb::kProcessingSingleEcho : orb::kProcessingDualEcho);
        }
        orb::ControlServerDisconnect(lock);
        return confirmed ? RC_OK : RC_GENERAL_ERROR;
    });
}

}  // extern "C"
