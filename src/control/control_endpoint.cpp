#include "control/control_endpoint.h"

namespace orb {

ControlEndpoint::ControlEndpoint(ControlChannel& channelOfProcess) : channel(channelOfProcess) {}

ControlEndpoint::~ControlEndpoint() {
    if (dataSocket != net::kInvalidSocket) net::closeSocket(dataSocket);
    if (imuSocket != net::kInvalidSocket) net::closeSocket(imuSocket);
}

}  // namespace orb
