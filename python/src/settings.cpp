// A camera's settings as properties and methods with Python types. Each C
// call becomes one from a line or two; its return code says which table
// names its failures (device status for configuration, library codes else).
#include <array>
#include <limits>
#include <type_traits>
#include <vector>

#include "camera_object.h"

namespace orbpy {

namespace {

constexpr std::size_t kTextBuffer = 256;
constexpr int kMaxExposureValues = 16;
constexpr int kDefaultHostPort = 6001;
constexpr int kDefaultSourcePort = 6301;

// Python gets integers for the one-byte settings.
template <class T>
using PyValue = std::conditional_t<std::is_same_v<T, std::uint8_t>, int, T>;

// Values the C type cannot hold are refused instead of truncated.
template <class T>
T inRange(long long v, const char* what) {
    if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
        v > static_cast<long long>(std::numeric_limits<T>::max()))
        throw py::value_error(std::string(what) + ": " + std::to_string(v) + " is out of range");
    return static_cast<T>(v);
}

template <class T>
auto getter(std::int32_t (*fn)(const char*, T*), const char* name, Codes codes = Codes::Status) {
    return [fn, name, codes](Camera& c) {
        T v{};
        call(c, codes, fn, name, &v);
        return static_cast<PyValue<T>>(v);
    };
}

template <class T>
auto setter(std::int32_t (*fn)(const char*, T), const char* name, Codes codes = Codes::Status) {
    return [fn, name, codes](Camera& c, long long value) { call(c, codes, fn, name, inRange<T>(value, name)); };
}

template <class T>
auto pairGetter(std::int32_t (*fn)(const char*, T*, T*), const char* name) {
    return [fn, name](Camera& c) {
        T a{}, b{};
        call(c, Codes::Status, fn, name, &a, &b);
        return std::make_pair(a, b);
    };
}

auto textGetter(std::int32_t (*fn)(const char*, std::uint8_t*, std::uint32_t), const char* name) {
    return [fn, name](Camera& c) {
        char buffer[kTextBuffer] = {};
        call(c, Codes::Status, fn, name, reinterpret_cast<std::uint8_t*>(buffer), std::uint32_t{kTextBuffer});
        return fieldText(buffer);
    };
}

auto action(std::int32_t (*fn)(const char*), const char* name) {
    return [fn, name](Camera& c) { call(c, Codes::Status, fn, name); };
}

// Read at connection; false when not connected.
auto flag(bool (*fn)(const char*)) {
    return [fn](Camera& c) {
        const char* ip = c.cip();
        return released([&] { return fn(ip); });
    };
}

// Extrinsics travel as R row by row, then T; Python sees [R | T], 3 x 4.
auto extrinsicsGetter(std::int32_t (*fn)(const char*, float*), const char* name) {
    return [fn, name](Camera& c) {
        std::array<float, 12> v{};
        call(c, Codes::Status, fn, name, v.data());
        py::array_t<float> m({3, 4});
        auto r = m.mutable_unchecked<2>();
        for (py::ssize_t i = 0; i < 3; ++i) {
            for (py::ssize_t j = 0; j < 3; ++j) r(i, j) = v[static_cast<std::size_t>(i * 3 + j)];
            r(i, 3) = v[static_cast<std::size_t>(9 + i)];
        }
        return m;
    };
}

std::array<float, 12> matrixToExtrinsics(const py::array& matrix) {
    auto m = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(matrix);
    if (!m || m.ndim() != 2 || m.shape(0) != 3 || m.shape(1) != 4)
        throw py::value_error("extrinsics must be a 3 x 4 matrix [R | T]");
    auto r = m.unchecked<2>();
    std::array<float, 12> v{};
    for (py::ssize_t i = 0; i < 3; ++i) {
        for (py::ssize_t j = 0; j < 3; ++j) v[static_cast<std::size_t>(i * 3 + j)] = r(i, j);
        v[static_cast<std::size_t>(9 + i)] = r(i, 3);
    }
    return v;
}

void bindConfiguration(py::class_<Camera>& cls) {
    cls.def("start", action(ORB_CALL(ZelStart)), "Starts the camera's acquisition.")
        .def("stop", action(ORB_CALL(ZelStop)), "Stops the camera's acquisition.")
        .def("soft_trigger", action(ORB_CALL(ZelSoftTrigger)))
        .def("save_configuration", action(ORB_CALL(ZelSaveConfigureInfo)), "Stores the current settings on the camera.")
        .def("remove_configuration", action(ORB_CALL(ZelRemoveConfigureInfo)), "Drops the stored settings.")
        .def_property("trigger_mode", getter(ORB_CALL(ZelGetTriggerMode)), setter(ORB_CALL(ZelSetTriggerMode)))
        .def_property("rgb_gain", getter(ORB_CALL(ZelGetRgbSensorGain)), setter(ORB_CALL(ZelSetRgbSensorGain)))
        .def_property("distance_measure", getter(ORB_CALL(ZelGetDistanceMeasureConfigure)),
                      setter(ORB_CALL(ZelSetDistanceMeasureConfigure)))
        .def_property("calibration_distance_offset", getter(ORB_CALL(ZelOrbGetCalibrationDistanceOffset)),
                      setter(ORB_CALL(ZelOrbSetCalibrationDistanceOffset)))
        .def_property("distance_offset", getter(ORB_CALL(ZelOrbGetDistanceOffset), Codes::Library),
                      setter(ORB_CALL(ZelOrbSetDistanceOffset), Codes::Library))
        .def_property("hard_trigger_filter", pairGetter(ORB_CALL(ZelGetHardTriggerFilterParams)),
                      [](Camera& c, std::pair<long long, long long> v) {
                          call(c, Codes::Status, ORB_CALL(ZelSetHardTriggerFilterParams),
                               inRange<std::int32_t>(v.first, "hard_trigger_filter"),
                               inRange<std::int32_t>(v.second, "hard_trigger_filter"));
                      })
        .def_property_readonly("rgb_exposure_time_range", pairGetter(ORB_CALL(ZelOrbGetRgbExposureTimeRange)))
        .def_property_readonly("rgb_gain_range", pairGetter(ORB_CALL(ZelOrbGetRgbGainRange)))
        .def_property("serial_number", textGetter(ORB_CALL(ZelOrbGetDeviceSerialNumber)),
                      [](Camera& c, const std::string& serial) {
                          call(c, Codes::Status, ORB_CALL(ZelOrbSetDeviceSerialNumber), serial.c_str());
                      })
        .def_property_readonly("device_type", textGetter(ORB_CALL(ZelOrbGetDeviceType)))
        .def_property_readonly("software_version",
                               [](Camera& c) {
                                   char a[kTextBuffer] = {}, b[kTextBuffer] = {};
                                   call(c, Codes::Status, ORB_CALL(ZelOrbGetDeviceSoftwareVersion), a, b,
                                        std::uint32_t{kTextBuffer});
                                   return std::make_pair(fieldText(a), fieldText(b));
                               })
        .def_property_readonly("rgb_enabled", flag(ZelGetDeviceRgbEnabled))
        .def_property_readonly("rgb_rotated", flag(ZelGetDeviceRgbRotation))
        .def(
            "exposure_mode",
            [](Camera& c, int sensor) {
                std::uint32_t mode = 0;
                call(c, Codes::Status, ORB_CALL(ZelGetExposureMode), sensor, &mode);
                return mode != 0;
            },
            py::arg("sensor") = 1, "Whether automatic exposure is on for sensor LIDAR or RGB_CAMERA.")
        .def(
            "set_exposure_mode",
            [](Camera& c, bool on, int sensor) {
                call(c, Codes::Status, ORB_CALL(ZelSetExposureMode), sensor, on ? 1 : 0);
            },
            py::arg("on"), py::arg("sensor") = 1)
        .def(
            "exposure_time",
            [](Camera& c, int sensor) {
                std::uint32_t values[kMaxExposureValues] = {};
                std::int32_t count = 0;
                call(c, Codes::Status, ORB_CALL(ZelGetExposureTime), sensor, values, kMaxExposureValues, &count);
                return std::vector<std::uint32_t>(values, values + std::max(0, std::min(count, kMaxExposureValues)));
            },
            py::arg("sensor") = 1, "Exposure times of sensor LIDAR or RGB_CAMERA, in the camera's units.")
        .def(
            "set_exposure_time",
            [](Camera& c, const std::vector<long long>& values, int sensor) {
                std::vector<std::uint32_t> v;
                for (long long x : values) v.push_back(inRange<std::uint32_t>(x, "exposure time"));
                call(c, Codes::Status, ORB_CALL(ZelSetExposureTime), sensor, v.data(),
                     static_cast<std::int32_t>(v.size()));
            },
            py::arg("values"), py::arg("sensor") = 1)
        .def(
            "intrinsics",
            [](Camera& c, int sensor) {
                std::array<float, 10> record{};  // fx, fy, cx, cy, k1..k4, two spare
                call(c, Codes::Status, ORB_CALL(ZelGetIntrinsicParam), sensor, record.data());
                return py::array_t<float>(8, record.data());
            },
            py::arg("sensor") = 2, "fx, fy, cx, cy, k1..k4 of the RGB camera, float32.")
        .def(
            "set_intrinsics",
            [](Camera& c, const std::vector<float>& values, int sensor) {
                if (values.size() != 8) throw py::value_error("intrinsics are 8 values: fx, fy, cx, cy, k1..k4");
                call(c, Codes::Status, ORB_CALL(ZelSetIntrinsicParam), sensor, values.data());
            },
            py::arg("values"), py::arg("sensor") = 2)
        .def_property(
            "lidar_to_rgb_extrinsics", extrinsicsGetter(ORB_CALL(ZelGetLidarToRgbExtrinsicParam)),
            [](Camera& c, const py::array& matrix) {
                const std::array<float, 12> v = matrixToExtrinsics(matrix);
                call(c, Codes::Status, ORB_CALL(ZelSetLidarToRgbExtrinsicParam), v.data());
            },
            "[R | T], 3 x 4 float32: a LiDAR point X maps to R X + T in RGB camera coordinates.")
        .def_property_readonly("lidar_to_imu_extrinsics", extrinsicsGetter(ORB_CALL(ZelGetLidarToIMUExtrinsicParam)))
        .def_property(
            "net_info",
            [](Camera& c) {
                ZelOrbNetInfo info{};
                call(c, Codes::Library, ORB_CALL(ZelOrbGetNetInfo), &info);
                return info;
            },
            [](Camera& c, const ZelOrbNetInfo& info) { call(c, Codes::Library, ORB_CALL(ZelOrbSetNetInfo), &info); },
            "The camera's network settings (NetInfo), over its control server.")
        .def(
            "set_mode", [](Camera& c, int mode) { call(c, Codes::Library, ORB_CALL(ZelOrbSetDeviceMode), mode); },
            py::arg("mode"), "SINGLE_ECHO (0) or DUAL_ECHO (1).");
}

void bindDeviceFilters(py::class_<Camera>& cls) {
    cls.def(
           "set_distance_filter",
           [](Camera& c, bool enable, long long min, long long max) {
               call(c, Codes::Library, ORB_CALL(ZelOrbSetDistanceFiltering), enable, inRange<std::uint32_t>(min, "min"),
                    inRange<std::uint32_t>(max, "max"));
           },
           py::arg("enable"), py::arg("min") = 0, py::arg("max") = std::numeric_limits<std::uint32_t>::max(),
           "Points whose distance is not strictly between min and max lose their coordinates.")
        .def(
            "set_distance_compensation",
            [](Camera& c, bool enable) {
                call(c, Codes::Library, ORB_CALL(ZelOrbSetDistanceCompensationEnabled), enable);
            },
            py::arg("enable"), "Adds the camera's two distance offsets (read now) to x of every point.")
        .def(
            "set_intensity_filter",
            [](Camera& c, bool enable, const std::vector<double>& distances, const std::vector<double>& intensities) {
                if (distances.size() != intensities.size())
                    throw py::value_error("distances and intensities must have the same length");
                call(c, Codes::Library, ORB_CALL(ZelOrbSetIntensityFiltering), enable, distances.data(),
                     intensities.data(), inRange<std::uint16_t>(static_cast<long long>(distances.size()), "entries"));
            },
            py::arg("enable"), py::arg("distances") = std::vector<double>{},
            py::arg("intensities") = std::vector<double>{},
            "Entry k keeps points ranging between distances[k-1]*100 and distances[k]*100 only with intensity "
            "at least intensities[k].")
        .def(
            "set_spatial_filter",
            [](Camera& c, bool enable, int size) {
                call(c, Codes::Library, ORB_CALL(ZelOrbSetSpatialFilter), enable, size);
            },
            py::arg("enable"), py::arg("size") = 5)
        .def(
            "set_time_median_filter",
            [](Camera& c, bool enable, int count, int threshold) {
                call(c, Codes::Library, ORB_CALL(ZelOrbSetTimeMedianFilter), enable, count, threshold);
            },
            py::arg("enable"), py::arg("count") = 5, py::arg("threshold") = 100)
        .def(
            "set_flying_filter",
            [](Camera& c, bool enable, int threshold) {
                call(c, Codes::Library, ORB_CALL(ZelOrbSetFlyingFilter), enable, threshold);
            },
            py::arg("enable"), py::arg("threshold") = 300)
        .def(
            "set_rgb_undistortion",
            [](Camera& c, bool enable) { call(c, Codes::Library, ORB_CALL(ZelOrbSetRgbUndistortion), enable); },
            py::arg("enable"), "Undistorts later RGB images with the camera's intrinsics.");
}

}  // namespace

void bindSettings(py::class_<Camera>& cls) {
    bindConfiguration(cls);
    bindDeviceFilters(cls);
}

void bindRecords(py::module_& m) {
    py::class_<ZelOrb9AxisImuData>(m, "ImuSample", "One nine-axis IMU sample.")
        .def_readonly("seconds", &ZelOrb9AxisImuData::seconds)
        .def_readonly("microseconds", &ZelOrb9AxisImuData::microseconds)
        .def_property_readonly("time", [](const ZelOrb9AxisImuData& s) { return s.seconds + s.microseconds * 1e-6; })
        .def_property_readonly("axis",
                               [](const ZelOrb9AxisImuData& s) {
                                   py::tuple t(9);
                                   for (std::size_t k = 0; k < 9; ++k) t[k] = s.axis[k];
                                   return t;
                               })
        .def("__repr__", [](const ZelOrb9AxisImuData& s) {
            return "ImuSample(seconds=" + std::to_string(s.seconds) +
                   ", microseconds=" + std::to_string(s.microseconds) +
                   ", axis=" + py::repr(py::cast(s).attr("axis")).cast<std::string>() + ")";
        });

    // Packed record: fields are copied out, never referenced.
    py::class_<ZelOrb6AxisImuData>(m, "SixAxisSample", "One six-axis IMU record from the point-cloud stream.")
        .def_property_readonly("check", [](const ZelOrb6AxisImuData& s) { return s.check; })
        .def_property_readonly("timestamp", [](const ZelOrb6AxisImuData& s) { return std::uint64_t{s.timestamp}; })
        .def_property_readonly(
            "data",
            [](const ZelOrb6AxisImuData& s) { return py::bytes(reinterpret_cast<const char*>(s.data), sizeof s.data); })
        .def("__repr__", [](const ZelOrb6AxisImuData& s) {
            return "SixAxisSample(check=" + std::to_string(s.check) +
                   ", timestamp=" + std::to_string(std::uint64_t{s.timestamp}) + ")";
        });

    py::class_<ZelOrbNetInfo>(m, "NetInfo", "A camera's network settings.")
        .def(py::init(
                 [](const std::string& lidarIp, const std::string& hostIp, long long lidarPort, long long hostPort) {
                     ZelOrbNetInfo n{};
                     setField(n.lidar_ip, lidarIp, "lidar_ip");
                     setField(n.host_ip, hostIp, "host_ip");
                     n.lidar_port = inRange<std::uint16_t>(lidarPort, "lidar_port");
                     n.host_port = inRange<std::uint16_t>(hostPort, "host_port");
                     return n;
                 }),
             py::arg("lidar_ip") = "", py::arg("host_ip") = "", py::arg("lidar_port") = kDefaultSourcePort,
             py::arg("host_port") = kDefaultHostPort)
        .def_property(
            "lidar_ip", [](const ZelOrbNetInfo& n) { return fieldText(n.lidar_ip); },
            [](ZelOrbNetInfo& n, const std::string& s) { setField(n.lidar_ip, s, "lidar_ip"); })
        .def_property(
            "host_ip", [](const ZelOrbNetInfo& n) { return fieldText(n.host_ip); },
            [](ZelOrbNetInfo& n, const std::string& s) { setField(n.host_ip, s, "host_ip"); })
        .def_property(
            "lidar_port", [](const ZelOrbNetInfo& n) { return n.lidar_port; },
            [](ZelOrbNetInfo& n, long long p) { n.lidar_port = inRange<std::uint16_t>(p, "lidar_port"); })
        .def_property(
            "host_port", [](const ZelOrbNetInfo& n) { return n.host_port; },
            [](ZelOrbNetInfo& n, long long p) { n.host_port = inRange<std::uint16_t>(p, "host_port"); })
        .def("__eq__",
             [](const ZelOrbNetInfo& a, const ZelOrbNetInfo& b) {
                 return fieldText(a.lidar_ip) == fieldText(b.lidar_ip) &&
                        fieldText(a.host_ip) == fieldText(b.host_ip) && a.lidar_port == b.lidar_port &&
                        a.host_port == b.host_port;
             })
        .def("__repr__", [](const ZelOrbNetInfo& n) {
            return "NetInfo(lidar_ip='" + fieldText(n.lidar_ip) + "', host_ip='" + fieldText(n.host_ip) +
                   "', lidar_port=" + std::to_string(n.lidar_port) + ", host_port=" + std::to_string(n.host_port) + ")";
        });
}

}  // namespace orbpy
