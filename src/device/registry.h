// Device registry: IP text -> device record, under one reader/writer lock.
// The lock guards the map and the host IP only: it is held exclusively to
// change them and shared to look a record up (also by the reception for each
// batch of datagrams it routes), never across a network exchange, a pause or
// a join. A call keeps the record it found alive by sharing its ownership, so
// a disconnection that removes the record meanwhile only ends its threads;
// the memory goes with the last owner. Per-device threads never take the lock.
#pragma once

#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "stream/reception.h"

namespace orb {

struct DeviceRecord;
using DevicePtr = std::shared_ptr<DeviceRecord>;

class Registry final : public StreamDirectory {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    std::shared_mutex& mutex() override { return mutex_; }

    // Caller holds mutex() (shared or exclusive as it needs).
    DeviceRecord* find(const char* ip);
    DeviceRecord* find(const std::string& ip);
    StreamState* findStream(const std::string& ip) override;
    std::map<std::string, DevicePtr>& devices() { return devices_; }
    // Removes the record from the registry and hands it over (exclusive).
    DevicePtr take(const std::string& ip);
    std::vector<std::string> ips() const;
    const std::string& hostIp() const { return hostIp_; }
    void setHostIp(const std::string& ip) { hostIp_ = ip; }  // exclusive

    // These take the lock themselves, briefly.
    // The record registered under ip, kept alive for the caller; null when none.
    DevicePtr lookup(const char* ip);
    // Whether ip still names this very record (a disconnection may have removed it).
    bool holds(const std::string& ip, const DeviceRecord* record);
    // Removes ip when it names this record; the record, or null when it did not.
    DevicePtr remove(const std::string& ip, const DeviceRecord* record);

private:
    std::shared_mutex mutex_;
    std::map<std::string, DevicePtr> devices_;
    std::string hostIp_ = "0.0.0.0";
};

}  // namespace orb
