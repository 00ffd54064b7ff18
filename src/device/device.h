// The device record: one per connected device IP, owned by the registry and
// by the calls using it at the moment. It composes the parts each subsystem
// keeps per device. Members are destroyed in reverse order: fusion state,
// IMU/RGB state (stops its threads), control endpoint (closes the data and
// IMU sockets those threads read), stream state (joins the packet and frame
// threads), IP.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "control/control_endpoint.h"
#include "imu_rgb/fusion_state.h"
#include "imu_rgb/imu_rgb_state.h"
#include "stream/stream_state.h"

namespace orb {

struct alignas(64) DeviceRecord {
    // The control endpoint uses the library context's control channel.
    DeviceRecord(const std::string& deviceIp, std::int32_t dataSourcePort);
    ~DeviceRecord();
    DeviceRecord(const DeviceRecord&) = delete;
    DeviceRecord& operator=(const DeviceRecord&) = delete;

    // Serialises connecting, disconnecting and switching the mode of this
    // device: held across their exchanges, which no other device waits for.
    std::mutex operationMutex;
    std::string ip;
    StreamState stream;
    ControlEndpoint ctrl;
    ImuRgbState imuRgb;
    FusionState fusion;
};

}  // namespace orb
