#include "camera.h"

namespace orbsim {

Camera::Camera(CameraOptions options)
    : options_(std::move(options)), store_(std::make_shared<SettingsStore>(options_.deviceIp)) {
    ResponderOptions r;
    r.deviceIp = options_.deviceIp;
    r.bindAny = options_.bindAny;
    responder_ = std::make_unique<CommandResponder>(store_, r);

    const std::string& ip = options_.deviceIp;
    if (options_.controlServer) {
        auto o = *options_.controlServer;
        o.deviceIp = ip;
        o.bindAny = options_.bindAny;
        attach("control server", std::make_unique<ControlServer>(store_, o));
    }
    if (options_.imuRateHz) attach("nine-axis IMU", std::make_unique<ImuSender>(store_, *options_.imuRateHz));
    if (options_.rgb) attach("RGB", std::make_unique<RgbSender>(store_, *options_.rgb));
    if (options_.pointCloud) {
        auto o = *options_.pointCloud;
        o.deviceIp = ip;
        ScenePtr scene = options_.scene ? options_.scene : makeBoxScene(400.0, BoxSpec{});
        attach("point cloud", std::make_unique<PointCloudStreamer>(o, scene, store_));
    }
    // Last: announce only once the camera answers.
    if (options_.announcer) {
        auto o = *options_.announcer;
        o.interfaceIp = ip;
        attach("announcer", std::make_unique<Announcer>(store_, o));
    }
}

CameraOptions CameraOptions::full(const std::string& deviceIp) {
    CameraOptions o;
    o.deviceIp = deviceIp;
    o.controlServer = ControlServerOptions{};
    o.announcer = AnnouncerOptions{};
    o.pointCloud = StreamerOptions{};
    o.imuRateHz = 200.0;
    o.rgb = RgbSenderOptions{};
    return o;
}

Camera::~Camera() { stop(); }

bool Camera::startPart(Part& p, std::string* error) {
    std::string why;
    if (!p.start(&why)) {
        if (error) *error = p.name + ": " + (why.empty() ? std::string("failed to start") : why);
        return false;
    }
    p.started = true;
    return true;
}

bool Camera::start(std::string* error) {
    if (running_) return true;
    std::string why;
    if (!responder_->start(&why)) {
        if (error) *error = "command responder: " + why;
        return false;
    }
    for (auto& p : parts_) {
        if (!startPart(p, error)) {
            running_ = true;  // so stop() unwinds what did start
            stop();
            return false;
        }
    }
    running_ = true;
    return true;
}

void Camera::stop() {
    if (!running_) return;
    for (auto it = parts_.rbegin(); it != parts_.rend(); ++it) {
        if (it->started) it->stop();
        it->started = false;
    }
    responder_->stop();
    running_ = false;
}

void Camera::addPart(Part p) {
    parts_.push_back(std::move(p));
    if (running_) startPart(parts_.back(), nullptr);
}

void Camera::attach(std::string name, std::function<bool(std::string*)> start, std::function<void()> stop) {
    Part p;
    p.name = std::move(name);
    p.start = std::move(start);
    p.stop = std::move(stop);
    addPart(std::move(p));
}

std::vector<std::string> Camera::componentNames() const {
    std::vector<std::string> out;
    for (const auto& p : parts_) out.push_back(p.name);
    return out;
}

}  // namespace orbsim
