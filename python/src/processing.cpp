// Work on frames the caller holds: plane angle, rotation, echo merging and
// the filter pipeline class.
#include <sstream>

#include "OrbFiltersALG.h"
#include "common.h"

namespace orbpy {

namespace {

// Frames taken by value are copied first unless the caller asks otherwise.
py::array target(const py::array& frame, bool inplace) {
    framePoints(frame, "frame", inplace);
    return inplace ? frame : py::array(frame.attr("copy")());
}

float* xyzPoints(const py::handle& obj, const char* name, bool writable) {
    if (!py::isinstance<py::array>(obj)) throw py::type_error(std::string(name) + " must be a numpy float32 array");
    auto a = py::reinterpret_borrow<py::array>(obj);
    if (!a.dtype().equal(py::dtype::of<float>())) throw py::type_error(std::string(name) + " must have dtype float32");
    const bool grid =
        a.ndim() == 3 && a.shape(0) == ZEL_ORB_FRAME_ROWS && a.shape(1) == ZEL_ORB_FRAME_COLS && a.shape(2) == 3;
    const bool flat = a.ndim() == 2 && a.shape(0) == ZEL_ORB_FRAME_POINTS && a.shape(1) == 3;
    if (!grid && !flat) throw py::value_error(std::string(name) + " must have shape (150, 360, 3) or (54000, 3)");
    if (!(py::detail::array_proxy(a.ptr())->flags & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_))
        throw py::value_error(std::string(name) + " must be C-contiguous");
    if (writable && !a.writeable()) throw py::value_error(std::string(name) + " is read-only");
    return static_cast<float*>(const_cast<void*>(a.data()));
}

std::string describe(const AngleMeasureParams& p) {
    std::ostringstream s;
    s << "AngleParams(x_lower=" << p.xLower << ", x_upper=" << p.xUpper << ", y_lower=" << p.yLower
      << ", y_upper=" << p.yUpper << ", second_window_width=" << p.secondWindowWidth
      << ", window_shift=" << p.windowShift << ", slice_height=" << p.sliceHeight << ", range_max=" << p.rangeMax
      << ", range_min=" << p.rangeMin << ", min_slice_points=" << p.minSlicePoints
      << ", angle_tolerance=" << p.angleTolerance << ", steep_angle=" << p.steepAngle
      << ", full_search_angle=" << p.fullSearchAngle << ")";
    return s.str();
}

void bindAngle(py::module_& m) {
    // Defaults: a box and tolerances that suit a wall a few metres ahead.
    py::class_<AngleMeasureParams>(m, "AngleParams", "Settings of the plane-angle measurement.")
        .def(py::init([](int x_lower, int x_upper, int y_lower, int y_upper, int second_window_width, int window_shift,
                         int slice_height, int range_max, int range_min, int min_slice_points, float angle_tolerance,
                         float steep_angle, float full_search_angle) {
                 return AngleMeasureParams{
                     x_lower,         x_upper,      y_lower,          y_upper,   second_window_width,
                     window_shift,    slice_height, range_max,        range_min, min_slice_points,
                     angle_tolerance, steep_angle,  full_search_angle};
             }),
             py::kw_only(), py::arg("x_lower") = -200, py::arg("x_upper") = 200, py::arg("y_lower") = -50,
             py::arg("y_upper") = 50, py::arg("second_window_width") = 50, py::arg("window_shift") = 10,
             py::arg("slice_height") = 10, py::arg("range_max") = 400, py::arg("range_min") = 20,
             py::arg("min_slice_points") = 30, py::arg("angle_tolerance") = 30.0f, py::arg("steep_angle") = 45.0f,
             py::arg("full_search_angle") = 30.0f)
        .def_readwrite("x_lower", &AngleMeasureParams::xLower)
        .def_readwrite("x_upper", &AngleMeasureParams::xUpper)
        .def_readwrite("y_lower", &AngleMeasureParams::yLower)
        .def_readwrite("y_upper", &AngleMeasureParams::yUpper)
        .def_readwrite("second_window_width", &AngleMeasureParams::secondWindowWidth)
        .def_readwrite("window_shift", &AngleMeasureParams::windowShift)
        .def_readwrite("slice_height", &AngleMeasureParams::sliceHeight)
        .def_readwrite("range_max", &AngleMeasureParams::rangeMax)
        .def_readwrite("range_min", &AngleMeasureParams::rangeMin)
        .def_readwrite("min_slice_points", &AngleMeasureParams::minSlicePoints)
        .def_readwrite("angle_tolerance", &AngleMeasureParams::angleTolerance)
        .def_readwrite("steep_angle", &AngleMeasureParams::steepAngle)
        .def_readwrite("full_search_angle", &AngleMeasureParams::fullSearchAngle)
        .def("__repr__", &describe);

    m.def(
        "enable_angle_measure",
        [](std::optional<AngleMeasureParams> params) {
            const AngleMeasureParams p =
                params ? *params : py::type::of<AngleMeasureParams>()().cast<AngleMeasureParams>();
            // The library would only report this on standard error and then
            // measure nothing; say so where the mistake is made.
            if (p.sliceHeight <= 0) throw py::value_error("slice_height must be positive");
            if (released([&] { return ZelOrbEnableAngleMeasure(true, &p); }) != 1)
                raise(RC_GENERAL_ERROR, Codes::Library, "ZelOrbEnableAngleMeasure", "");
        },
        py::arg("params") = py::none(),
        "Sets up the process-wide plane-angle measurement (default AngleParams() when none given).");
    m.def(
        "disable_angle_measure", [] { released([] { return ZelOrbEnableAngleMeasure(false, nullptr); }); },
        "Removes the plane-angle measurement.");
    m.def(
        "plane_angle",
        [](const py::array& frame) {
            const ZelOrbPointData* points = framePoints(frame, "frame", false);
            float angle = 0.0f;
            const AngleResult r = released([&] { return ZelOrbGetPlaneAngle(points, &angle); });
            if (r.code != 0) throw CallError{r.code, r.message ? r.message : "", "ZelOrbGetPlaneAngle", ""};
            return angle;
        },
        py::arg("frame"),
        "Smoothed yaw in degrees of the flat surface inside the measurement box; raises Error (code -98, -99 "
        "or -100) when this frame gives none.");
}

void bindFrameOps(py::module_& m) {
    m.def(
        "rotate",
        [](const py::array& frame, std::array<float, 3> angles, std::array<float, 3> offset, bool inplace) {
            py::array out = target(frame, inplace);
            ZelOrbPointData* points = framePoints(out, "frame", true);
            const RotateParams p{angles[0], angles[1], angles[2], offset[0], offset[1], offset[2]};
            check(released([&] { return ZelOrbGetRotatePointcloudData(points, &p); }), Codes::Library,
                  "ZelOrbGetRotatePointcloudData", "");
            return out;
        },
        py::arg("frame"), py::arg("angles") = std::array<float, 3>{0, 0, 0},
        py::arg("offset") = std::array<float, 3>{0, 0, 0}, py::kw_only(), py::arg("inplace") = false,
        "Turns the frame's points by angles (degrees about x, y, z) and shifts them by offset; returns a new "
        "frame, or the same one with inplace=True.");
    m.def(
        "max_range",
        [](const py::array& first, const py::array& second) {
            ZelOrbPointData* a = framePoints(first, "first", false);
            ZelOrbPointData* b = framePoints(second, "second", false);
            py::array out = newFrame();
            ZelOrbPointData* r = framePoints(out, "out", true);
            check(released([&] { return ZelOrbGetMaximumRangePointCloud(rows(a), rows(b), rows(r)); }), Codes::Library,
                  "ZelOrbGetMaximumRangePointCloud", "");
            return out;
        },
        py::arg("first"), py::arg("second"),
        "Merges an echo pair: per position the point of the larger distance (ties take the second).");
}

void bindFilterPipeline(py::module_& m) {
    py::class_<OrbFiltersALG>(m, "FilterPipeline",
                              "The host filter pipeline (spatial median, time median, flying pixels) for your own "
                              "frames. Thread-safe.")
        .def(py::init<>())
        .def(
            "reset", [](OrbFiltersALG& f) { released([&] { f.init(); }); },
            "Every stage off, default settings, history emptied.")
        .def("set_spatial_filter", &OrbFiltersALG::SetSpatialFilter, py::arg("enable") = true, py::arg("size") = 5,
             py::call_guard<py::gil_scoped_release>())
        .def("set_time_median_filter", &OrbFiltersALG::SetTimeMedianFilter, py::arg("enable") = true,
             py::arg("count") = 5, py::arg("threshold") = 100, py::call_guard<py::gil_scoped_release>())
        .def("set_flying_filter", &OrbFiltersALG::SetFlyPixeFilter, py::arg("enable") = true,
             py::arg("threshold") = 300, py::call_guard<py::gil_scoped_release>())
        .def_property("spatial_enabled", &OrbFiltersALG::GetSpatialFilterEnable, &OrbFiltersALG::SetSpatialFilterEnable,
                      py::call_guard<py::gil_scoped_release>())
        .def_property("time_median_enabled", &OrbFiltersALG::GetTimeMedianFilterEnable,
                      &OrbFiltersALG::SetTimeMedianFilterEnable, py::call_guard<py::gil_scoped_release>())
        .def_property("flying_enabled", &OrbFiltersALG::GetFlyPixeFilterEnable, &OrbFiltersALG::SetFlyPixeFilterEnable,
                      py::call_guard<py::gil_scoped_release>())
        .def(
            "apply",
            [](OrbFiltersALG& f, const py::array& frame, bool inplace) {
                py::array out = target(frame, inplace);
                ZelOrbPointData* points = framePoints(out, "frame", true);
                released([&] { f.filtering(rows(points)); });
                return out;
            },
            py::arg("frame"), py::kw_only(), py::arg("inplace") = false,
            "Filters x, y, z of a frame (a copy unless inplace=True); the other fields are kept.")
        .def(
            "apply_xyz",
            [](OrbFiltersALG& f, const py::array& xyz, std::optional<py::array> out) {
                float* in = xyzPoints(xyz, "xyz", false);
                py::array result = out ? *out : py::array(py::dtype::of<float>(), xyz.request().shape);
                float* dst = xyzPoints(result, "out", true);
                released([&] { f.filtering(in, dst); });
                return result;
            },
            py::arg("xyz"), py::arg("out") = py::none(),
            "One pass over float32 points (150, 360, 3) or (54000, 3); out may be xyz itself.");
}

}  // namespace

void bindProcessing(py::module_& m) {
    bindAngle(m);
    bindFrameOps(m);
    bindFilterPipeline(m);
}

}  // namespace orbpy
