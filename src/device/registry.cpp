#include "device/registry.h"

#include "device/device.h"

namespace orb {

Registry::Registry() = default;
Registry::~Registry() = default;

DeviceRecord* Registry::find(const char* ip) {
    if (!ip) return nullptr;
    return find(std::string(ip));
}

DeviceRecord* Registry::find(const std::string& ip) {
    auto it = devices_.find(ip);
    return it == devices_.end() ? nullptr : it->second.get();
}

StreamState* Registry::findStream(const std::string& ip) {
    DeviceRecord* dev = find(ip);
    return dev ? &dev->stream : nullptr;
}

std::unique_ptr<DeviceRecord> Registry::take(const std::string& ip) {
    auto it = devices_.find(ip);
    if (it == devices_.end()) return nullptr;
    std::unique_ptr<DeviceRecord> record = std::move(it->second);
    devices_.erase(it);
    return record;
}

std::vector<std::string> Registry::ips() const {
    std::vector<std::string> out;
    out.reserve(devices_.size());
    for (const auto& entry : devices_) out.push_back(entry.first);
    return out;
}

}  // namespace orb
