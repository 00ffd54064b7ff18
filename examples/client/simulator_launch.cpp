#include "client/simulator_launch.h"

#include <cstdio>
#include <utility>

#include "camera.h"
#include "control_server.h"
#include "imu_sender.h"
#include "pointcloud_streamer.h"
#include "replay.h"
#include "rgb_sender.h"
#include "scene.h"

namespace orbclient {

namespace {

class SimulatorHolder : public BuiltInSimulator {
public:
    explicit SimulatorHolder(std::unique_ptr<orbsim::Camera> cam) : camera(std::move(cam)) {}
    ~SimulatorHolder() override { camera->stop(); }
    std::unique_ptr<orbsim::Camera> camera;
};

class ReplayHolder : public BuiltInSimulator {
public:
    explicit ReplayHolder(orbsim::ReplayOptions o) : replay(std::move(o)) {}
    ~ReplayHolder() override { replay.stop(); }
    bool finished() const override { return replay.finished(); }
    orbsim::Replay replay;
};

}  // namespace

std::unique_ptr<BuiltInSimulator> startReplaySimulator(const std::string& path, const std::string& hostIp,
                                                       std::uint16_t hostPort, std::string& cameraIp,
                                                       std::uint16_t& sourcePort, std::string& error) {
    orbsim::ReplayOptions o;
    o.path = path;
    o.hostIp = hostIp;
    o.hostPort = hostPort;
    auto holder = std::make_unique<ReplayHolder>(o);
    if (!holder->replay.load(&error)) return nullptr;
    std::printf("%s", holder->replay.summary().text(path).c_str());
    if (!holder->replay.start(&error)) return nullptr;
    const orbsim::ReplayCamera& first = holder->replay.summary().cameras.front();
    cameraIp = first.replayIp;
    if (first.sourcePort != 0) sourcePort = first.sourcePort;
    return holder;
}

std::unique_ptr<BuiltInSimulator> startBuiltInSimulator(const std::string& deviceIp, const std::string& hostIp,
                                                        std::uint16_t hostPort, std::uint16_t sourcePort,
                                                        std::string& error,
                                                        std::shared_ptr<const orbsim::Scene> scene) {
    orbsim::CameraOptions co;
    co.deviceIp = deviceIp;
    auto camera = std::make_unique<orbsim::Camera>(co);
    auto store = camera->store();

    // A wall 2.5 m ahead turned by 20 degrees, with a little range noise and
    // intensity falling with distance: something to look at and to measure.
    if (!scene)
        scene = orbsim::withIntensityFalloff(orbsim::withRangeNoise(orbsim::makeWallScene(250.0, 20.0), 0.3), 160.0,
                                             200.0);
    orbsim::StreamerOptions so;
    so.deviceIp = deviceIp;
    so.sourcePort = sourcePort;
    so.hostIp = hostIp;
    so.hostPort = hostPort;
    so.frameRate = 20.0;
    so.sixAxisRate = 100.0;
    camera->attach("point cloud", std::make_unique<orbsim::PointCloudStreamer>(so, scene, store));

    orbsim::ControlServerOptions cs;
    cs.deviceIp = deviceIp;
    camera->attach("control server", std::make_unique<orbsim::ControlServer>(store, cs));
    camera->attach("imu", std::make_unique<orbsim::ImuSender>(store, 200.0));
    orbsim::RgbSenderOptions ro;
    ro.rateHz = 10.0;
    camera->attach("rgb", std::make_unique<orbsim::RgbSender>(store, ro));

    if (!camera->start(&error)) return nullptr;
    return std::make_unique<SimulatorHolder>(std::move(camera));
}

}  // namespace orbclient
