#include "control/control_endpoint.h"

namespace orb {

ControlEndpoint::ControlEndpoint() = default;

ControlEndpoint::~ControlEndpoint() {
    // The IMU and RGB threads read these sockets: stop them first, so no
    // thread is left reading a closed descriptor whose number the system may
    // already have handed to a new socket.
    imuRgb.stopAll();
    if (dataSocket != net::kInvalidSocket) net::closeSocket(dataSocket);
    if (imuSocket != net::kInvalidSocket) net::closeSocket(imuSocket);
}

}  // namespace orb
