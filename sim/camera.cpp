#include "camera.h"

namespace orbsim {

Camera::Camera(CameraOptions options)
    : options_(std::move(options)), store_(std::make_shared<SettingsStore>(options_.deviceIp)) {
    ResponderOptions r;
    r.deviceIp = options_.deviceIp;
    r.bindAny = options_.bindAny;
    responder_ = std::make_unique<CommandResponder>(store_, r);
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
