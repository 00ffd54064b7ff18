// The built-in simulator the sample client runs against when no camera answers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace orbsim {
class Scene;
}

namespace orbclient {

class BuiltInSimulator {
public:
    virtual ~BuiltInSimulator() = default;
    // A replay has sent the whole capture.
    virtual bool finished() const { return false; }
};

// Starts one virtual camera on deviceIp that streams point clouds to
// hostIp:hostPort from sourcePort and sends RGB and IMU data where the
// handshake tells it. scene: what it sees (null: a wall 2.5 m ahead turned
// by 20 degrees). Null (with error set) when it cannot start.
std::unique_ptr<BuiltInSimulator> startBuiltInSimulator(const std::string& deviceIp, const std::string& hostIp,
                                                        std::uint16_t hostPort, std::uint16_t sourcePort,
                                                        std::string& error,
                                                        std::shared_ptr<const orbsim::Scene> scene = nullptr);

// Starts the cameras of a capture on loopback addresses, replaying it to
// hostIp:hostPort once the library connects. Sets the first camera's
// address and point-cloud source port; prints what the capture holds.
std::unique_ptr<BuiltInSimulator> startReplaySimulator(const std::string& path, const std::string& hostIp,
                                                       std::uint16_t hostPort, std::string& cameraIp,
                                                       std::uint16_t& sourcePort, std::string& error);

}  // namespace orbclient
