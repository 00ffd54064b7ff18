// The device record: one per connected device IP, owned by the registry.
// Members are destroyed in reverse order: fusion state, control endpoint
// (stops the IMU/RGB threads, then closes the sockets), stream state, IP.
#pragma once

#include <cstdint>
#include <string>

#include "control/control_endpoint.h"
#include "imu_rgb/fusion_state.h"
#include "stream/stream_state.h"

namespace orb {

struct alignas(64) DeviceRecord {
    DeviceRecord(const std::string& deviceIp, std::int32_t dataSourcePort);
    ~DeviceRecord();
    DeviceRecord(const DeviceRecord&) = delete;
    DeviceRecord& operator=(const DeviceRecord&) = delete;

    std::string ip;
    StreamState stream;
    ControlEndpoint ctrl;
    FusionState fusion;
};

}  // namespace orb
