// Process-wide device registry: IP text -> device record, under one
// reader/writer lock (exclusive for connect, disconnect and the calls that
// say so; shared for every other device-scoped call and for each routed
// datagram). Per-device threads never take it.
#pragma once

#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

namespace orb {

struct DeviceRecord;

class Registry {
public:
    static Registry& get();  // created on first use, kept until the process ends

    std::shared_mutex& mutex() { return mutex_; }

    // All below: caller holds mutex() (shared or exclusive as it needs).
    DeviceRecord* find(const char* ip);
    DeviceRecord* find(const std::string& ip);
    std::map<std::string, std::unique_ptr<DeviceRecord>>& devices() { return devices_; }
    const std::string& hostIp() const { return hostIp_; }
    void setHostIp(const std::string& ip) { hostIp_ = ip; }  // exclusive

private:
    Registry() = default;
    std::shared_mutex mutex_;
    std::map<std::string, std::unique_ptr<DeviceRecord>> devices_;
    std::string hostIp_ = "0.0.0.0";
};

bool IsValidIPv4(const char* text);

}  // namespace orb
