#include "settings_store.h"

#include <cstring>

namespace orbsim {

SettingsStore::SettingsStore(const std::string& deviceIp) : deviceIp_(deviceIp) {
    net_.lidarIp = deviceIp;
    net_.hostIp = "127.0.0.1";
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

std::vector<double> SettingsStore::intrinsics() const { return doublesLE(payload(0x032A)); }
std::vector<double> SettingsStore::extrinsics() const { return doublesLE(payload(0x0329)); }

}  // namespace orbsim
