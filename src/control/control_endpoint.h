// Per-device control endpoint: the control channel its exchanges use, the
// reply buffer, the data and IMU sockets, the device's control address and
// the values cached at connection.
#pragma once

#include <atomic>
#include <cstdint>

#include "control/command.h"
#include "platform/net.h"

namespace orb {

struct ControlEndpoint {
    explicit ControlEndpoint(ControlChannel& channel);
    // Closes the sockets. Threads reading them (the IMU and RGB streams) must
    // have stopped before: the device record stops them first.
    ~ControlEndpoint();
    ControlEndpoint(const ControlEndpoint&) = delete;
    ControlEndpoint& operator=(const ControlEndpoint&) = delete;

    ControlChannel& channel;
    ReplyBuffer reply;
    net::Socket dataSocket = net::kInvalidSocket;
    net::Socket imuSocket = net::kInvalidSocket;
    net::Endpoint localData;
    net::Endpoint localImu;
    net::Endpoint deviceControl;  // device IP, port 50660
    std::atomic<std::uint8_t> rgbEnabled{0};
    std::atomic<std::uint8_t> rgbRotation{0};
};

}  // namespace orb
