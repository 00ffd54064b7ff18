// One virtual camera on one device address: the shared settings store, the
// command responder, and further components (control server, announcer,
// point-cloud streamer, IMU and RGB senders, or anything with start/stop)
// attached to it. Components start in the order attached, after the
// responder, and stop in reverse order.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include <optional>

#include "announcer.h"
#include "command_responder.h"
#include "control_server.h"
#include "imu_sender.h"
#include "pointcloud_streamer.h"
#include "rgb_sender.h"
#include "scene.h"
#include "settings_store.h"

namespace orbsim {

// The command responder always runs; every other component only when its
// options are given, so a test starts just what it exercises. The camera
// fills in the device address (and bindAny) of each component.
struct CameraOptions {
    std::string deviceIp = "127.0.0.2";
    bool bindAny = false;  // command channel and control server on 0.0.0.0 (network-namespace tests)

    std::optional<ControlServerOptions> controlServer;  // TCP 6501
    std::optional<AnnouncerOptions> announcer;          // multicast 224.0.0.200:6607
    std::optional<StreamerOptions> pointCloud;          // data packets to the host port
    ScenePtr scene;                                     // of the point cloud; null: a wall with a box
    std::optional<double> imuRateHz;                    // nine-axis IMU to the handshake's data port + 1
    std::optional<RgbSenderOptions> rgb;                // RGB fragments to the handshake's data port

    // Every component, as a stand-alone camera runs them.
    static CameraOptions full(const std::string& deviceIp);
};

class Camera {
public:
    explicit Camera(CameraOptions options);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Starts the responder and every attached component. On a failure the
    // parts already started are stopped again and the reason is returned.
    bool start(std::string* error = nullptr);
    // Stops everything; safe to call twice and from the destructor.
    void stop();
    bool running() const { return running_; }

    const CameraOptions& options() const { return options_; }
    const std::string& deviceIp() const { return options_.deviceIp; }
    const std::shared_ptr<SettingsStore>& store() const { return store_; }
    CommandResponder& responder() { return *responder_; }

    // Attaches a component; the camera owns it. T needs start() returning
    // bool or void (optionally taking std::string* for the reason) and
    // stop(). Attach before start(); a component attached to a running
    // camera is started at once.
    template <class T>
    T& attach(std::string name, std::unique_ptr<T> component);
    // Same, with functions instead of a class: for components whose start or
    // stop need arguments.
    void attach(std::string name, std::function<bool(std::string*)> start, std::function<void()> stop);

    // The first attached component of type T, or null.
    template <class T>
    T* find() const;
    ControlServer* controlServer() const { return find<ControlServer>(); }
    Announcer* announcer() const { return find<Announcer>(); }
    PointCloudStreamer* pointCloud() const { return find<PointCloudStreamer>(); }
    ImuSender* imu() const { return find<ImuSender>(); }
    RgbSender* rgb() const { return find<RgbSender>(); }
    std::vector<std::string> componentNames() const;

private:
    struct Part {
        std::string name;
        std::shared_ptr<void> object;
        const std::type_info* type = nullptr;
        std::function<bool(std::string*)> start;
        std::function<void()> stop;
        bool started = false;
    };
    bool startPart(Part& p, std::string* error);
    void addPart(Part p);

    CameraOptions options_;
    std::shared_ptr<SettingsStore> store_;
    std::unique_ptr<CommandResponder> responder_;
    std::vector<Part> parts_;
    bool running_ = false;
};

template <class T>
T& Camera::attach(std::string name, std::unique_ptr<T> component) {
    std::shared_ptr<T> obj(std::move(component));
    T* raw = obj.get();
    Part p;
    p.name = std::move(name);
    p.type = &typeid(T);
    p.start = [raw](std::string* err) -> bool {
        if constexpr (std::is_invocable_v<decltype(&T::start), T*, std::string*>) {
            using R = decltype(raw->start(err));
            if constexpr (std::is_void_v<R>) {
                raw->start(err);
                return true;
            } else {
                return static_cast<bool>(raw->start(err));
            }
        } else {
            (void)err;
            using R = decltype(raw->start());
            if constexpr (std::is_void_v<R>) {
                raw->start();
                return true;
            } else {
                return static_cast<bool>(raw->start());
            }
        }
    };
    p.stop = [raw] { raw->stop(); };
    p.object = std::move(obj);
    addPart(std::move(p));
    return *raw;
}

template <class T>
T* Camera::find() const {
    for (const auto& p : parts_)
        if (p.type && *p.type == typeid(T)) return static_cast<T*>(p.object.get());
    return nullptr;
}

}  // namespace orbsim
