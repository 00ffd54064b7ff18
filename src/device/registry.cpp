#include "device/registry.h"

#include <mutex>

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

DevicePtr Registry::take(const std::string& ip) {
    auto it = devices_.find(ip);
    if (it == devices_.end()) return nullptr;
    DevicePtr record = std::move(it->second);
    devices_.erase(it);
    return record;
}

std::vector<std::string> Registry::ips() const {
    std::vector<std::string> out;
    out.reserve(devices_.size());
    for (const auto& entry : devices_) out.push_back(entry.first);
    return out;
}

DevicePtr Registry::lookup(const char* ip) {
    if (!ip) return nullptr;
    const std::string key(ip);
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto it = devices_.find(key);
    return it == devices_.end() ? nullptr : it->second;
}

bool Registry::holds(const std::string& ip, const DeviceRecord* record) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return record && find(ip) == record;
}

DevicePtr Registry::remove(const std::string& ip, const DeviceRecord* record) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    if (!record || find(ip) != record) return nullptr;
    return take(ip);
}

}  // namespace orb
