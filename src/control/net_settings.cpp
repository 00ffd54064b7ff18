#include "control/net_settings.h"

#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "platform/net.h"

namespace orb {

const char* const kModeFrameSingleEchoHex = "5aa50106000001659a00010400000000000000309b01000000";
const char* const kModeFrameDualEchoHex = "5aa50106000001659a00010400000000000000308709000000";
const char* const kModeReplyHex = "5aa50106000000659a000104000100000000004b0000000000";

namespace {

constexpr std::size_t kAddressTextLimit = 35;
constexpr std::size_t kRenderedTextLimit = 39;
enum SettingsOffset : std::size_t { kAtDeviceAddress = 0, kAtHostAddress = 4, kAtDevicePort = 8, kAtHostPort = 10 };

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

}  // namespace

bool encodeNetSettings(const ZelOrbNetInfo& info, const std::uint8_t* extra, std::uint8_t out[kNetSettingsSize]) {
    std::uint8_t payload[kNetSettingsSize] = {};
    if (!parseAddressField(info.lidar_ip, sizeof info.lidar_ip, payload + kAtDeviceAddress)) return false;
    if (!parseAddressField(info.host_ip, sizeof info.host_ip, payload + kAtHostAddress)) return false;
    bytes::writeLe16(payload + kAtDevicePort, info.lidar_port);
    bytes::writeLe16(payload + kAtHostPort, info.host_port);
    if (extra) std::memcpy(payload + kNetSettingsExtraOffset, extra, kNetSettingsExtraSize);
    std::memcpy(out, payload, kNetSettingsSize);
    return true;
}

bool decodeNetSettings(const std::uint8_t* data, std::size_t n, ZelOrbNetInfo& out) {
    if (!data || n != kNetSettingsSize) return false;
    ZelOrbNetInfo info{};
    if (!renderAddress(data + kAtDeviceAddress, info.lidar_ip, sizeof info.lidar_ip)) return false;
    if (!renderAddress(data + kAtHostAddress, info.host_ip, sizeof info.host_ip)) return false;
    info.lidar_port = bytes::readLe16(data + kAtDevicePort);
    info.host_port = bytes::readLe16(data + kAtHostPort);
    out = info;
    return true;
}

void NetSettingsExtras::remember(const char* ip, const std::vector<std::uint8_t>& payload) {
    std::lock_guard<std::mutex> lk(mutex_);
    byIp_[ip].assign(payload.begin() + kNetSettingsExtraOffset, payload.end());
}

bool NetSettingsExtras::recall(const char* ip, std::uint8_t out[kNetSettingsExtraSize]) {
    if (!ip) return false;
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = byIp_.find(ip);
    if (it == byIp_.end() || it->second.size() != kNetSettingsExtraSize) return false;
    std::memcpy(out, it->second.data(), kNetSettingsExtraSize);
    return true;
}

void NetSettingsExtras::forgetAll() {
    std::lock_guard<std::mutex> lk(mutex_);
    byIp_.clear();
}

}  // namespace orb
