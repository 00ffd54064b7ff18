// Per-device control endpoint: reply buffer, data and IMU sockets, the
// device's control address, values cached at connection, IMU/RGB state.
#pragma once

#include <atomic>
#include <cstdint>

#include "control/command.h"
#include "imu_rgb/imu_rgb_state.h"
#include "platform/net.h"

namespace orb {

struct ControlEndpoint {
    ControlEndpoint();
    ~ControlEndpoint();  // stops the IMU/RGB threads, then closes the sockets
    ControlEndpoint(const ControlEndpoint&) = delete;
    ControlEndpoint& operator=(const ControlEndpoint&) = delete;

    ReplyBuffer reply;
    net::Socket dataSocket = net::kInvalidSocket;
    net::Socket imuSocket = net::kInvalidSocket;
    net::Endpoint localData;
    net::Endpoint localImu;
    net::Endpoint deviceControl;  // device IP, port 50660
    std::atomic<std::uint8_t> rgbEnabled{0};
    std::atomic<std::uint8_t> rgbRotation{0};
    ImuRgbState imuRgb;  // its threads are stopped before the sockets close
};

}  // namespace orb
