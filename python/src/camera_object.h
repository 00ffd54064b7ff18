// orb_sdk.Camera: one connected camera, its streams, callbacks and settings.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "callbacks.h"
#include "common.h"

namespace orbpy {

class Camera {
public:
    // Connects, starting the process's point-cloud reception on hostIp:port
    // when no other camera of this module runs it.
    Camera(const std::string& ip, std::optional<std::string> hostIp, int port, int sourcePort);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Disconnects; the last camera to close also stops the reception.
    void close();
    bool closed() const { return !open_.load(); }
    const std::string& ip() const { return ip_; }
    // The address to hand to a library call; ValueError once closed.
    const char* cip() const;
    std::string describe() const;

    py::array frame(std::optional<double> timeout);
    py::tuple dualFrame(std::optional<double> timeout);
    void onStream(Stream s, py::object fn);
    py::dict callbackDrops() const { return callbacks_.drops(); }
    void startImu();
    void stopImu();
    void startRgb();
    void stopRgb();
    ZelOrb9AxisImuData imu(std::optional<double> timeout);
    py::array rgb(std::optional<double> timeout);
    void initFusion();
    py::array fusion(std::optional<py::array> out, std::optional<double> timeout);

    const std::string ip_;
    std::string hostIp_;
    const int port_;
    const int sourcePort_;

private:
    void waitFor(std::optional<double> timeout, int pauseMs, std::int32_t notYet, const char* what, const char* name,
                 const std::function<std::int32_t(const char*)>& fn);

    std::atomic<bool> open_{false};
    bool imuStarted_ = false, rgbStarted_ = false;  // GIL
    CameraCallbacks callbacks_;                     // GIL
    std::mutex rgbMutex_;                           // a call's pixels stay valid until the camera's next call
};

// Calls fn(ip, args...) for the camera without the GIL and raises
// orb_sdk.Error, with the text from the given table, when it fails.
template <class... P, class... A>
void call(Camera& c, Codes codes, std::int32_t (*fn)(const char*, P...), const char* name, A&&... args) {
    const char* ip = c.cip();
    check(released([&] { return fn(ip, std::forward<A>(args)...); }), codes, name, c.ip());
}
#define ORB_CALL(fn) fn, #fn

// settings.cpp: configuration, network settings, mode, per-camera filters,
// and the records they use.
void bindRecords(py::module_& m);
void bindSettings(py::class_<Camera>& cls);

}  // namespace orbpy
