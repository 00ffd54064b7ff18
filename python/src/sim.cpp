// orb_sdk.sim: the virtual camera, in-process, with its scenes and faults.
#ifdef __linux__
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#endif

#include <functional>
#include <map>
#include <set>
#include <thread>

#include "camera.h"
#include "common.h"
#include "scene_walls.h"

namespace orbpy {

namespace {

namespace sim = orbsim;

struct Scene {
    sim::ScenePtr scene;
};

struct Options {
    sim::CameraOptions camera;
    std::string netns;
    bool start = true;
};

// Simulator keyword arguments; each adds one line here.
using OptionSetter = std::function<void(Options&, py::handle)>;

sim::StreamerOptions& stream(Options& o) {
    if (!o.camera.pointCloud) throw py::value_error("stream options need stream=True");
    return *o.camera.pointCloud;
}

const std::map<std::string, OptionSetter>& optionTable() {
    auto num = [](double sim::FaultOptions::*field) {
        return [field](Options& o, py::handle v) { stream(o).faults.*field = v.cast<double>(); };
    };
    static const std::map<std::string, OptionSetter> table = {
        {"host_ip", [](Options& o, py::handle v) { stream(o).hostIp = v.cast<std::string>(); }},
        {"host_port", [](Options& o, py::handle v) { stream(o).hostPort = v.cast<std::uint16_t>(); }},
        {"source_port", [](Options& o, py::handle v) { stream(o).sourcePort = v.cast<std::uint16_t>(); }},
        {"scene", [](Options& o, py::handle v) { o.camera.scene = v.cast<const Scene&>().scene; }},
        {"stream",
         [](Options& o, py::handle v) {
             if (!v.cast<bool>()) o.camera.pointCloud.reset();
         }},
        {"fps", [](Options& o, py::handle v) { stream(o).frameRate = v.cast<double>(); }},
        {"data_type", [](Options& o, py::handle v) { stream(o).dataType = v.cast<std::uint8_t>(); }},
        {"point_format", [](Options& o, py::handle v) { stream(o).pointFormat = v.cast<std::uint8_t>(); }},
        {"multicast", [](Options& o, py::handle v) { stream(o).multicast = v.cast<bool>(); }},
        {"pace", [](Options& o, py::handle v) { stream(o).paceWithinFrame = v.cast<bool>(); }},
        {"static_scene", [](Options& o, py::handle v) { stream(o).staticScene = v.cast<bool>(); }},
        {"max_frames", [](Options& o, py::handle v) { stream(o).maxFrames = v.cast<std::uint64_t>(); }},
        {"keep_frames", [](Options& o, py::handle v) { stream(o).keepFrames = v.cast<std::size_t>(); }},
        {"six_axis_rate", [](Options& o, py::handle v) { stream(o).sixAxisRate = v.cast<double>(); }},
        {"six_axis_check", [](Options& o, py::handle v) { stream(o).sixAxisCheck = v.cast<std::uint8_t>(); }},
        {"loss", num(&sim::FaultOptions::loss)},
        {"duplicate", num(&sim::FaultOptions::duplicate)},
        {"reorder", num(&sim::FaultOptions::reorder)},
        {"truncate", num(&sim::FaultOptions::truncate)},
        {"bad_magic", num(&sim::FaultOptions::badMagic)},
        {"bad_version", num(&sim::FaultOptions::badVersion)},
        {"seed", [](Options& o, py::handle v) { stream(o).faults.seed = v.cast<std::uint32_t>(); }},
        {"imu_rate",
         [](Options& o, py::handle v) {
             o.camera.imuRateHz = v.is_none() ? std::nullopt : std::optional<double>(v.cast<double>());
         }},
        {"rgb_rate",
         [](Options& o, py::handle v) {
             if (v.is_none()) return o.camera.rgb.reset();
             if (!o.camera.rgb) o.camera.rgb = sim::RgbSenderOptions{};
             o.camera.rgb->rateHz = v.cast<double>();
         }},
        {"rgb_format",
         [](Options& o, py::handle v) {
             const auto f = v.cast<std::string>();
             if (f != "jpeg" && f != "nv12") throw py::value_error("rgb_format is 'jpeg' or 'nv12'");
             if (o.camera.rgb) o.camera.rgb->format = f == "nv12" ? sim::kRgbNv12 : sim::kRgbJpeg;
         }},
        {"control_server",
         [](Options& o, py::handle v) {
             if (!v.cast<bool>()) o.camera.controlServer.reset();
         }},
        {"announce_ms",
         [](Options& o, py::handle v) {
             if (v.is_none()) return o.camera.announcer.reset();
             o.camera.announcer = sim::AnnouncerOptions{};
             o.camera.announcer->intervalMs = v.cast<int>();
         }},
        {"bind_any", [](Options& o, py::handle v) { o.camera.bindAny = v.cast<bool>(); }},
        {"netns", [](Options& o, py::handle v) { o.netns = v.is_none() ? "" : v.cast<std::string>(); }},
        {"start", [](Options& o, py::handle v) { o.start = v.cast<bool>(); }},
    };
    return table;
}

// Starts the camera on a thread inside the named network namespace; the
// sockets and threads it makes stay there.
bool startIn(const std::string& netns, sim::Camera& camera, std::string* error) {
#ifdef __linux__
    const int fd = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "no network namespace " + netns;
        return false;
    }
    bool started = false;
    std::thread t([&] {
        if (::setns(fd, CLONE_NEWNET) != 0)
            *error = "cannot enter network namespace " + netns;
        else
            started = camera.start(error);
    });
    t.join();
    ::close(fd);
    return started;
#else
    (void)camera;
    *error = "network namespaces need Linux (" + netns + ")";
    return false;
#endif
}

class Simulator;
std::set<Simulator*>& running() {
    static auto* s = new std::set<Simulator*>();  // GIL
    return *s;
}

class Simulator {
public:
    Simulator(const std::string& ip, const py::kwargs& kwargs) {
        Options o;
        o.camera = sim::CameraOptions::full(ip);
        o.camera.announcer.reset();  // announcements only when asked for (announce_ms)
        for (const auto& item : kwargs) {
            const auto key = item.first.cast<std::string>();
            const auto it = optionTable().find(key);
            if (it == optionTable().end())
                throw py::type_error("Simulator() got an unexpected keyword argument '" + key + "'");
            it->second(o, item.second);
        }
        if (!o.camera.scene) o.camera.scene = sim::makeBoxScene(400.0, sim::BoxSpec{});
        netns_ = o.netns;
        camera_ = std::make_unique<sim::Camera>(o.camera);
        if (o.start) start();
    }
    ~Simulator() { stop(); }

    void start() {
        std::string error;
        const bool ok =
            released([&] { return netns_.empty() ? camera_->start(&error) : startIn(netns_, *camera_, &error); });
        if (!ok) throw std::runtime_error("simulated camera " + camera_->deviceIp() + ": " + error);
        running().insert(this);
    }
    void stop() {
        running().erase(this);
        released([&] { camera_->stop(); });
    }

    sim::Camera& camera() { return *camera_; }
    sim::PointCloudStreamer& streamer() {
        if (auto* s = camera_->pointCloud()) return *s;
        throw py::value_error("this simulator has no point-cloud stream");
    }

private:
    std::unique_ptr<sim::Camera> camera_;
    std::string netns_;
};

py::object grid(const std::vector<sim::ExpectedPoint>& points, int rows, int cols) {
    py::array_t<sim::ExpectedPoint> a({rows, cols});
    std::memcpy(a.mutable_data(), points.data(), points.size() * sizeof(sim::ExpectedPoint));
    return std::move(a);
}

void bindScenes(py::module_& s) {
    py::class_<Scene>(s, "Scene", "What the virtual camera sees; a pure function of the frame index.")
        .def(
            "render",
            [](const Scene& sc, std::uint64_t index, int echo) {
                sim::SceneFrame f;
                sc.scene->render(index, f);
                if (echo == 1 && !f.hasSecond) return py::object(py::none());
                const auto& points = echo == 1 ? f.second : f.first;
                py::array_t<sim::ScenePoint> a({sim::kSceneRows, sim::kSceneCols});
                std::memcpy(a.mutable_data(), points.data(), points.size() * sizeof(sim::ScenePoint));
                return py::object(std::move(a));
            },
            py::arg("index") = 0, py::arg("echo") = 0,
            "The (150, 360) returns of a frame (fields valid, x, y, z, distance, intensity); echo=1 gives the "
            "second echoes, None when the scene has none.");

    auto scene = [](sim::ScenePtr p) { return Scene{std::move(p)}; };
    s.def(
        "wall", [=](double d, double yaw, std::uint8_t i) { return scene(sim::makeWallScene(d, yaw, i)); },
        py::arg("distance"), py::arg("yaw") = 0.0, py::arg("intensity") = 100,
        "A flat wall at distance, its normal turned by yaw degrees towards +y.");
    s.def(
        "box",
        [=](double wall, double nearX, double farX, std::pair<double, double> y, std::pair<double, double> z,
            std::uint8_t i, std::uint8_t wallI) {
            return scene(
                sim::makeBoxScene(wall, sim::BoxSpec{nearX, farX, y.first, y.second, z.first, z.second, i}, wallI));
        },
        py::arg("wall_distance") = 400.0, py::arg("near") = 200.0, py::arg("far") = 260.0,
        py::arg("y") = std::make_pair(-60.0, 60.0), py::arg("z") = std::make_pair(-40.0, 40.0),
        py::arg("intensity") = 180, py::arg("wall_intensity") = 100, "A box in front of a wall (the default scene).");
    s.def(
        "ramp",
        [=](double fz, double start, double slope, double maxRange, std::uint8_t i) {
            return scene(sim::makeRampScene(fz, start, slope, maxRange, i));
        },
        py::arg("floor_z") = -50.0, py::arg("start") = 300.0, py::arg("slope") = 0.2, py::arg("max_range") = 2000.0,
        py::arg("intensity") = 90);
    s.def(
        "corner",
        [=](double d, double yaw, double edgeY, double secondYaw, std::uint8_t i) {
            return scene(sim::makeCornerScene(sim::CornerSpec{d, yaw, edgeY, secondYaw, i}));
        },
        py::arg("distance") = 200.0, py::arg("yaw") = 50.0, py::arg("edge_y") = 60.0, py::arg("second_yaw") = -40.0,
        py::arg("intensity") = 100, "Two walls meeting at a vertical edge.");
    s.def(
        "noisy_wall",
        [=](double d, double yaw, double sigma, double stray, std::uint32_t seed, std::uint8_t i) {
            return scene(sim::makeNoisyWallScene(d, yaw, sigma, stray, seed, i));
        },
        py::arg("distance"), py::arg("yaw"), py::arg("sigma"), py::arg("stray_fraction"), py::arg("seed") = 11,
        py::arg("intensity") = 100);
    s.def(
        "approaching",
        [=](double wall, double size, double startD, double speed, double minD) {
            return scene(sim::makeApproachingObjectScene(wall, size, startD, speed, minD));
        },
        py::arg("wall_distance"), py::arg("size"), py::arg("start"), py::arg("speed"), py::arg("min_distance") = 50.0);
    s.def(
        "with_noise",
        [=](const Scene& in, double sigma, std::uint32_t seed) {
            return scene(sim::withRangeNoise(in.scene, sigma, seed));
        },
        py::arg("scene"), py::arg("sigma"), py::arg("seed") = 1);
    s.def(
        "with_intensity_falloff",
        [=](const Scene& in, double i0, double ref) { return scene(sim::withIntensityFalloff(in.scene, i0, ref)); },
        py::arg("scene"), py::arg("i0"), py::arg("ref_distance"));
    s.def(
        "with_flicker",
        [=](const Scene& in, double p, double lo, double hi, std::uint32_t seed) {
            return scene(sim::withFlicker(in.scene, p, lo, hi, seed));
        },
        py::arg("scene"), py::arg("p"), py::arg("min_range"), py::arg("max_range"), py::arg("seed") = 7);
    s.def(
        "with_flying_pixels",
        [=](const Scene& in, double jump) { return scene(sim::withFlyingPixels(in.scene, jump)); }, py::arg("scene"),
        py::arg("jump"));
    s.def(
        "with_second_echo", [=](const Scene& in, double extra) { return scene(sim::withSecondEcho(in.scene, extra)); },
        py::arg("scene"), py::arg("extra_range"));
    s.def(
        "test_pattern_color",
        [](int row, int col) {
            const cv::Vec3b c = sim::testPatternColor(row, col);
            return py::make_tuple(c[0], c[1], c[2]);
        },
        py::arg("row"), py::arg("col"), "R, G, B of the RGB sender's test pattern at a pixel of the unrotated image.");
}

void bindSimulatorClass(py::module_& s) {
    py::class_<Simulator>(s, "Simulator",
                          "A virtual camera in this process: command responder on ip:50660 and, by default, a "
                          "control server, a point-cloud stream, nine-axis IMU and RGB senders.")
        .def(py::init<const std::string&, const py::kwargs&>(), py::arg("ip") = "127.0.0.2")
        .def("start", &Simulator::start)
        .def("stop", &Simulator::stop)
        .def("__enter__", [](Simulator& s) -> Simulator& { return s; })
        .def("__exit__", [](Simulator& s, py::args) { s.stop(); })
        .def_property_readonly("ip", [](Simulator& s) { return s.camera().deviceIp(); })
        .def_property_readonly("running", [](Simulator& s) { return s.camera().running(); })
        .def_property_readonly("frames_sent", [](Simulator& s) { return s.streamer().framesSent(); })
        .def_property_readonly("packets_sent", [](Simulator& s) { return s.streamer().packetsSent(); })
        .def_property_readonly("six_axis_sent", [](Simulator& s) { return s.streamer().sixAxisSent(); })
        .def_property_readonly("imu_sent", [](Simulator& s) { return s.camera().imu() ? s.camera().imu()->sent() : 0; })
        .def_property_readonly("rgb_sent",
                               [](Simulator& s) { return s.camera().rgb() ? s.camera().rgb()->framesSent() : 0; })
        .def(
            "send_frame",
            [](Simulator& s, std::uint64_t index) {
                std::string error;
                if (!released([&] { return s.streamer().sendFrameNow(index, &error); }))
                    throw std::runtime_error(error);
            },
            py::arg("index"), "Sends frame index now, in one burst.")
        .def(
            "sent_frame",
            [](Simulator& s, std::uint64_t index, int echo) -> py::object {
                auto f = s.streamer().sentFrame(index);
                if (!f) return py::none();
                if (echo == 1)
                    return f->second.empty() ? py::object(py::none()) : grid(f->second, f->gridRows, f->gridCols);
                return grid(f->first, f->gridRows, f->gridCols);
            },
            py::arg("index"), py::arg("echo") = 0,
            "What frame index should decode to, on its data type's grid (fields row, column, distance, "
            "intensity, x, y, z, delivered); None once it is no longer kept.")
        .def_property_readonly("device_mode", [](Simulator& s) { return s.camera().store()->deviceMode(); })
        .def_property_readonly("serial_number", [](Simulator& s) { return s.camera().store()->serialNumber(); })
        .def_property_readonly("handshake",
                               [](Simulator& s) -> py::object {
                                   const auto h = s.camera().store()->handshake();
                                   if (!h.received) return py::none();
                                   return py::make_tuple(h.hostIp, h.dataPort);
                               })
        .def(
            "requests",
            [](Simulator& s, std::optional<std::uint16_t> command) {
                auto& r = s.camera().responder();
                return command ? r.requestsFor(*command).size() : r.requests().size();
            },
            py::arg("command") = py::none(), "How many command frames arrived (for one command code).")
        .def(
            "set_fault",
            [](Simulator& s, std::optional<std::uint16_t> command, bool silent, std::optional<std::uint8_t> status,
               int delayMs, int times, std::optional<std::size_t> truncate, bool split) {
                sim::Fault f;
                f.silent = silent;
                f.status = status;
                f.delayMs = delayMs;
                f.remaining = times;
                f.truncatePayload = truncate;
                f.splitChain = split;
                if (command)
                    s.camera().responder().setFault(*command, f);
                else
                    s.camera().responder().setFaultAll(f);
            },
            py::arg("command"), py::kw_only(), py::arg("silent") = false, py::arg("status") = py::none(),
            py::arg("delay_ms") = 0, py::arg("times") = -1, py::arg("truncate") = py::none(), py::arg("split") = false,
            "Answers command (None: every command) differently: no reply, another status byte, late, with a "
            "cut payload or as a split chain; for `times` requests (-1: until cleared).")
        .def("clear_faults", [](Simulator& s) { s.camera().responder().clearFaults(); })
        .def(
            "set_imu_rate",
            [](Simulator& s, double hz) {
                if (!s.camera().imu()) throw py::value_error("this simulator has no IMU sender");
                s.camera().imu()->setRate(hz);
            },
            py::arg("hz"))
        .def(
            "set_rgb_rate",
            [](Simulator& s, double hz) {
                if (!s.camera().rgb()) throw py::value_error("this simulator has no RGB sender");
                s.camera().rgb()->setRate(hz);
            },
            py::arg("hz"));
}

}  // namespace

void stopAllSimulators() {
    const std::set<Simulator*> all = running();
    for (Simulator* s : all) s->stop();
}

void bindSimulator(py::module_& m) {
    PYBIND11_NUMPY_DTYPE(orbsim::ScenePoint, valid, x, y, z, distance, intensity);
    PYBIND11_NUMPY_DTYPE(orbsim::ExpectedPoint, row, column, distance, intensity, x, y, z, delivered);
    py::module_ s = m.def_submodule("sim", "The virtual camera, in this process.");
    bindScenes(s);
    bindSimulatorClass(s);
}

}  // namespace orbpy
