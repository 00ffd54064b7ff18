#include <cstring>
#include <map>
#include <vector>

#include "camera_object.h"

namespace orbpy {

namespace {

// The statistics record as a dict, keyed by the C field names.
py::dict streamStatistics(Camera& c) {
    ZelOrbStreamStatistics s{};
    s.size = sizeof s;
    check(ZelOrbGetStreamStatistics(c.cip(), &s), Codes::Library, "ZelOrbGetStreamStatistics", c.ip());
    using Field = std::uint64_t ZelOrbStreamStatistics::*;
    static const std::pair<const char*, Field> fields[] = {
        {"datagrams", &ZelOrbStreamStatistics::datagrams},
        {"bytes", &ZelOrbStreamStatistics::bytes},
        {"dropped_queue_full", &ZelOrbStreamStatistics::dropped_queue_full},
        {"dropped_wrong_port", &ZelOrbStreamStatistics::dropped_wrong_port},
        {"dropped_length", &ZelOrbStreamStatistics::dropped_length},
        {"dropped_bad_magic", &ZelOrbStreamStatistics::dropped_bad_magic},
        {"dropped_bad_data_type", &ZelOrbStreamStatistics::dropped_bad_data_type},
        {"dropped_bad_version", &ZelOrbStreamStatistics::dropped_bad_version},
        {"truncated", &ZelOrbStreamStatistics::truncated},
        {"frames_completed", &ZelOrbStreamStatistics::frames_completed},
        {"frames_published", &ZelOrbStreamStatistics::frames_published},
        {"frames_dropped_queue_full", &ZelOrbStreamStatistics::frames_dropped_queue_full},
        {"frames_packet_overflow", &ZelOrbStreamStatistics::frames_packet_overflow},
        {"frames_missing_packets", &ZelOrbStreamStatistics::frames_missing_packets},
        {"six_axis_packets", &ZelOrbStreamStatistics::six_axis_packets},
        {"nine_axis_samples", &ZelOrbStreamStatistics::nine_axis_samples},
        {"rgb_images_completed", &ZelOrbStreamStatistics::rgb_images_completed},
        {"rgb_images_dropped", &ZelOrbStreamStatistics::rgb_images_dropped},
        {"unknown_source_datagrams", &ZelOrbStreamStatistics::unknown_source_datagrams},
    };
    py::dict d;
    for (const auto& [name, field] : fields) d[name] = s.*field;
    d["receive_buffer_bytes"] = s.receive_buffer_bytes;
    return d;
}

constexpr std::size_t kFusionBytes = 3 * ZEL_ORB_FRAME_POINTS;
constexpr int kDefaultHostPort = 6001;
constexpr int kDefaultSourcePort = 6301;
constexpr int kCommandPort = 50660;  // only used to find the route to a camera

// The module's open cameras and the reception they share. Opening and
// closing hold `mutex` (taken without the GIL); the rest is guarded by the GIL.
struct Cameras {
    std::mutex mutex;
    std::map<std::string, Camera*> open;
    bool receiving = false;  // the library's point-cloud reception, started here
    std::string receiveHost;
    int receivePort = 0;
};

Cameras& cameras() {
    static Cameras* c = new Cameras();  // outlives the interpreter's teardown
    return *c;
}

std::unique_lock<std::mutex> lockCameras() {
    std::unique_lock<std::mutex> lk(cameras().mutex, std::defer_lock);
    py::gil_scoped_release nogil;
    lk.lock();
    return lk;
}

void stopReception() {
    Cameras& c = cameras();
    if (!c.receiving) return;
    released([] { return ZelOrbStopReceiveData(); });
    c.receiving = false;
}

// The local address the system would use to reach ip.
std::string routeTo(const std::string& ip) {
    py::module_ socket = py::module_::import("socket");
    py::object s = socket.attr("socket")(socket.attr("AF_INET"), socket.attr("SOCK_DGRAM"));
    try {
        s.attr("connect")(py::make_tuple(ip, kCommandPort));
        std::string local = s.attr("getsockname")()[py::int_(0)].cast<std::string>();
        s.attr("close")();
        return local;
    } catch (py::error_already_set&) {
        s.attr("close")();
        throw py::value_error("no route to " + ip + " (not an IPv4 address?); give host_ip");
    }
}

struct FrameIterator {
    Camera* camera;  // kept alive by the iterator's Python object
    std::optional<long long> remaining;
    std::optional<double> timeout;
    bool dual;

    py::object next() {
        if (remaining && *remaining <= 0) throw py::stop_iteration();
        if (remaining) --*remaining;
        return dual ? py::object(camera->dualFrame(timeout)) : py::object(camera->frame(timeout));
    }
};

}  // namespace

Camera::Camera(const std::string& ip, std::optional<std::string> hostIp, int port, int sourcePort)
    : ip_(ip), port_(port), sourcePort_(sourcePort) {
    if (port < 1 || port > 65535 || sourcePort < 1 || sourcePort > 65535)
        throw py::value_error("port and source_port must be 1..65535");
    hostIp_ = hostIp ? *hostIp : routeTo(ip);
    auto lk = lockCameras();
    Cameras& c = cameras();
    if (c.open.count(ip_)) throw py::value_error("camera " + ip_ + " is already open in this process");
    if (c.receiving && (c.receiveHost != hostIp_ || c.receivePort != port_)) {
        if (!c.open.empty())
            throw py::value_error("the other cameras receive on " + c.receiveHost + ":" +
                                  std::to_string(c.receivePort) + "; open this one with the same host_ip and port");
        stopReception();
    }
    if (!c.receiving) {
        const std::int32_t rc = released([&] { return ZelOrbStartReceiveData(hostIp_.c_str(), port_); });
        if (rc != RC_OK) {
            // -1: reception runs but the command socket (host_ip, port
            // 50660) could not be opened, so no camera could be set up.
            if (rc == RC_GENERAL_ERROR) released([] { return ZelOrbStopReceiveData(); });
            raise(rc, Codes::Library, "ZelOrbStartReceiveData", hostIp_ + ":" + std::to_string(port_));
        }
        c.receiving = true;
        c.receiveHost = hostIp_;
        c.receivePort = port_;
    }
    const std::int32_t rc = released([&] { return ZelOrbConnectDevice(ip_.c_str(), sourcePort_); });
    if (rc != RC_OK && rc != RC_DEVICE_EXISTS) {
        // A camera that did not answer the handshake stays registered.
        if (rc == RC_HANDSHAKE_FAILED) released([&] { return ZelOrbDisconnectDevice(ip_.c_str()); });
        if (c.open.empty()) stopReception();
        raise(rc, Codes::Library, "ZelOrbConnectDevice", ip_);
    }
    c.open[ip_] = this;
    open_ = true;
}

Camera::~Camera() {
    try {
        close();
    } catch (...) {
        PyErr_Clear();
    }
}

void Camera::close() {
    std::shared_ptr<Dispatcher> dispatcher;
    std::int32_t rc = RC_OK;
    {
        auto lk = lockCameras();
        if (!open_) return;
        open_ = false;
        rc = released([&] { return ZelOrbDisconnectDevice(ip_.c_str()); });
        dispatcher = callbacks_.release(rc == RC_OK || rc == RC_DEVICE_NOT_FOUND);
        cameras().open.erase(ip_);
        if (cameras().open.empty()) stopReception();
    }
    // Outside the lock: a callback still running may open or close a camera.
    stopDispatcher(dispatcher);
    if (rc != RC_OK && rc != RC_DEVICE_NOT_FOUND) raise(rc, Codes::Library, "ZelOrbDisconnectDevice", ip_);
}

const char* Camera::cip() const {
    if (!open_) throw py::value_error("camera " + ip_ + " is closed");
    return ip_.c_str();
}

std::string Camera::describe() const {
    return "Camera('" + ip_ + "', host_ip='" + hostIp_ + "', port=" + std::to_string(port_) +
           ", source_port=" + std::to_string(sourcePort_) + (open_ ? ")" : ", closed)");
}

// Repeats a library call while it answers `notYet`, then raises on failure.
void Camera::waitFor(std::optional<double> timeout, int pauseMs, std::int32_t notYet, const char* what,
                     const char* name, const std::function<std::int32_t(const char*)>& fn) {
    const char* ip = cip();
    std::int32_t rc = RC_OK;
    if (!pollUntil(timeout, pauseMs, [&] { return (rc = fn(ip)) != notYet; })) raiseTimeout(what, ip_);
    check(rc, Codes::Library, name, ip_);
}

py::array Camera::frame(std::optional<double> timeout) {
    py::array out = newFrame();
    auto* points = static_cast<ZelOrbPointData*>(out.mutable_data());
    waitFor(timeout, 1, RC_GET_DATA_FAILED, "frame", "ZelOrbGetPointCloud",
            [&](const char* ip) { return ZelOrbGetPointCloud(ip, rows(points)); });
    return out;
}

py::tuple Camera::dualFrame(std::optional<double> timeout) {
    py::array first = newFrame(), second = newFrame();
    auto* a = static_cast<ZelOrbPointData*>(first.mutable_data());
    auto* b = static_cast<ZelOrbPointData*>(second.mutable_data());
    waitFor(timeout, 1, RC_GET_DATA_FAILED, "dual-echo frame", "ZelOrbGetDualEchoPointCloud",
            [&](const char* ip) { return ZelOrbGetDualEchoPointCloud(ip, rows(a), rows(b)); });
    return py::make_tuple(first, second);
}

void Camera::onStream(Stream s, py::object fn) {
    cip();
    const bool on = !fn.is_none();
    callbacks_.set(s, ip_, std::move(fn));
    if (on && s == kImu) startImu();
    if (on && s == kRgb) startRgb();
}

void Camera::startImu() {
    if (imuStarted_) return;
    call(*this, Codes::Library, ORB_CALL(ZelOrbStartDevice9AxisImuStream));
    imuStarted_ = true;
}

void Camera::stopImu() {
    imuStarted_ = false;
    call(*this, Codes::Library, ORB_CALL(ZelOrbStopDevice9AxisImuStream));
}

void Camera::startRgb() {
    if (rgbStarted_) return;
    call(*this, Codes::Library, ORB_CALL(ZelOrbStartDeviceRgbStream));
    rgbStarted_ = true;
}

void Camera::stopRgb() {
    rgbStarted_ = false;
    call(*this, Codes::Library, ORB_CALL(ZelOrbStopDeviceRgbStream));
}

ZelOrb9AxisImuData Camera::imu(std::optional<double> timeout) {
    startImu();
    ZelOrb9AxisImuData sample{};
    // Each try waits up to 20 ms inside the library.
    waitFor(timeout, 0, RC_IMU_GET_FAILED, "IMU sample", "ZelOrbGet9AxisImu",
            [&](const char* ip) { return ZelOrbGet9AxisImu(ip, &sample); });
    return sample;
}

py::array Camera::rgb(std::optional<double> timeout) {
    startRgb();
    const char* ip = cip();
    std::unique_ptr<std::uint8_t[]> pixels;
    std::uint32_t width = 0, height = 0;
    std::int32_t rc = RC_OK;
    // Each try waits up to 200 ms inside the library.
    if (!pollUntil(timeout, 0, [&] {
            std::lock_guard<std::mutex> lk(rgbMutex_);
            ZelOrbRgbData image{};
            rc = ZelOrbGetRgb(ip, &image);
            if (rc == RC_RGB_GET_FAILED) return false;
            if (rc != RC_OK) return true;
            if (!image.data || image.size != std::uint64_t{image.width} * image.height * 3) return false;  // undecoded
            pixels.reset(new std::uint8_t[image.size]);
            std::memcpy(pixels.get(), image.data, image.size);
            width = image.width;
            height = image.height;
            return true;
        }))
        raiseTimeout("RGB image", ip_);
    check(rc, Codes::Library, "ZelOrbGetRgb", ip_);
    return adoptBuffer(std::move(pixels), py::dtype::of<std::uint8_t>(), {height, width, 3});
}

void Camera::initFusion() {
    call(*this, Codes::Library, ORB_CALL(ZelOrbInitRGBDFusionParam));
    startRgb();
}

py::array Camera::fusion(std::optional<py::array> out, std::optional<double> timeout) {
    py::array colours =
        out ? *out : py::array(py::dtype::of<std::uint8_t>(), {ZEL_ORB_FRAME_ROWS, ZEL_ORB_FRAME_COLS, 3});
    if (!colours.dtype().equal(py::dtype::of<std::uint8_t>())) throw py::type_error("out must have dtype uint8");
    if (colours.nbytes() != static_cast<py::ssize_t>(kFusionBytes) || !colours.writeable() ||
        !(py::detail::array_proxy(colours.ptr())->flags & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_))
        throw py::value_error("out must be a writable C-contiguous uint8 array of 162,000 bytes");
    if (!out) std::memset(colours.mutable_data(), 0, kFusionBytes);
    ZelOrbRgbData rec{};
    rec.data = static_cast<std::uint8_t*>(colours.mutable_data());
    rec.size = kFusionBytes;
    // -1984 until an RGB image has been decoded.
    waitFor(timeout, 5, RC_RGB_GET_FAILED, "RGB image for fusion", "ZelOrbGetRGBDFusionData",
            [&](const char* ip) { return ZelOrbGetRGBDFusionData(ip, &rec); });
    return colours;
}

void closeAllCameras() {
    std::vector<Camera*> open;
    for (const auto& entry : cameras().open) open.push_back(entry.second);
    for (Camera* c : open) {
        try {
            c->close();
        } catch (...) {
        }
    }
}

void bindCamera(py::module_& m) {
    bindRecords(m);

    py::class_<FrameIterator>(m, "FrameIterator")
        .def("__iter__", [](FrameIterator& it) -> FrameIterator& { return it; })
        .def("__next__", &FrameIterator::next);

    py::class_<Camera> cls(m, "Camera",
                           "A connected camera. Connects (starting the point-cloud reception on host_ip:port when no "
                           "other camera has) and disconnects on close() or at the end of a with block.");
    cls.def(py::init<const std::string&, std::optional<std::string>, int, int>(), py::arg("ip"),
            py::arg("host_ip") = py::none(), py::arg("port") = kDefaultHostPort,
            py::arg("source_port") = kDefaultSourcePort)
        .def("__enter__", [](Camera& c) -> Camera& { return c; })
        .def("__exit__", [](Camera& c, py::args) { c.close(); })
        .def("close", &Camera::close, "Disconnects; the last camera to close also stops the reception.")
        .def_property_readonly("closed", &Camera::closed)
        .def_property_readonly("ip", &Camera::ip)
        .def_readonly("host_ip", &Camera::hostIp_)
        .def_readonly("port", &Camera::port_)
        .def_readonly("source_port", &Camera::sourcePort_)
        .def("__repr__", &Camera::describe)
        .def("frame", &Camera::frame, py::arg("timeout") = 1.0,
             "The next single-echo frame: a new (150, 360) array of POINT_DTYPE. TimeoutError when none comes.")
        .def(
            "xyz", [](Camera& c, std::optional<double> timeout) { return xyzView(c.frame(timeout)); },
            py::arg("timeout") = 1.0, "x, y, z of the next frame as a float32 (150, 360, 3) view.")
        .def("dual_frame", &Camera::dualFrame, py::arg("timeout") = 1.0,
             "The next echo pair (dual-echo mode) as two frames.")
        .def(
            "frames",
            [](Camera& c, std::optional<long long> count, std::optional<double> timeout, bool dual) {
                return FrameIterator{&c, count, timeout, dual};
            },
            py::arg("count") = py::none(), py::arg("timeout") = 1.0, py::arg("dual") = false, py::keep_alive<0, 1>(),
            "Iterates over the next count frames (without end when None); echo pairs with dual=True.")
        .def(
            "on_frame", [](Camera& c, py::object fn) { c.onStream(kFrame, std::move(fn)); }, py::arg("fn"),
            "Calls fn(frame) for every new single-echo frame, on a thread of the module; None stops.")
        .def(
            "on_imu", [](Camera& c, py::object fn) { c.onStream(kImu, std::move(fn)); }, py::arg("fn"),
            "Calls fn(ImuSample) for every nine-axis sample (starts the IMU stream); None stops.")
        .def(
            "on_six_axis", [](Camera& c, py::object fn) { c.onStream(kSixAxis, std::move(fn)); }, py::arg("fn"),
            "Calls fn(SixAxisSample) for every six-axis record; None stops.")
        .def(
            "on_rgb", [](Camera& c, py::object fn) { c.onStream(kRgb, std::move(fn)); }, py::arg("fn"),
            "Calls fn(image) for every RGB image, (H, W, 3) uint8 (starts the RGB stream); None stops.")
        .def_property_readonly("callback_drops", &Camera::callbackDrops,
                               "Items dropped per stream because a callback fell behind.")
        .def("statistics", &streamStatistics,
             "What the camera's datagrams became: counts by name, as ZelOrbGetStreamStatistics fills them.")
        .def(
            "reset_statistics",
            [](Camera& c) {
                check(ZelOrbResetStreamStatistics(c.cip()), Codes::Library, "ZelOrbResetStreamStatistics", c.ip());
            },
            "Zeroes the camera's statistics.")
        .def("imu", &Camera::imu, py::arg("timeout") = 1.0, "The next nine-axis sample (starts the IMU stream).")
        .def("start_imu", &Camera::startImu)
        .def("stop_imu", &Camera::stopImu)
        .def("rgb", &Camera::rgb, py::arg("timeout") = 2.0,
             "The next RGB image as an (H, W, 3) uint8 array (starts the RGB stream).")
        .def("start_rgb", &Camera::startRgb)
        .def("stop_rgb", &Camera::stopRgb)
        .def("init_fusion", &Camera::initFusion, "Reads the calibration for RGB-D fusion and starts the RGB stream.")
        .def("fusion", &Camera::fusion, py::arg("out") = py::none(), py::arg("timeout") = 2.0,
             "R, G, B of each point of the newest frame, (150, 360, 3) uint8; points without colour are 0 "
             "(or keep what out held).");
    bindSettings(cls);
}

}  // namespace orbpy
