// The extension module orb_sdk._orb_sdk: errors, waiting, frames, and the
// start and end of the library for the interpreter's lifetime.
#include <chrono>
#include <functional>
#include <thread>

#include "common.h"

namespace orbpy {

namespace {

py::object& errorType() {
    static py::object* type = nullptr;  // owned by the module; never freed
    if (!type) type = new py::object();
    return *type;
}

const char* codeText(std::int32_t code, Codes codes) {
    return codes == Codes::Status ? ZelGetReturnCodeDescriptor(code) : ZelOrbReturnCodeToString(code);
}

}  // namespace

void raise(std::int32_t code, Codes codes, const char* call, const std::string& target) {
    throw CallError{code, codeText(code, codes), call, target};
}

void registerErrors(py::module_& m) {
    py::dict attrs;
    attrs["__doc__"] =
        "A library call failed. code: the library or device status code; text: the library's "
        "text for it; call: the C call that failed.";
    errorType() = py::reinterpret_steal<py::object>(PyErr_NewException("orb_sdk.Error", PyExc_Exception, attrs.ptr()));
    m.attr("Error") = errorType();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const CallError& e) {
            const std::string where = e.target.empty() ? e.call : e.call + "(" + e.target + ")";
            py::object err = errorType()(where + ": [" + std::to_string(e.code) + "] " + e.text);
            err.attr("code") = e.code;
            err.attr("text") = e.text;
            err.attr("call") = e.call;
            PyErr_SetObject(errorType().ptr(), err.ptr());
        }
    });
}

bool pollUntil(std::optional<double> timeout, int pauseMs, const std::function<bool()>& attempt) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto expired = [&] { return timeout && std::chrono::duration<double>(Clock::now() - start).count() >= *timeout; };
    for (;;) {
        bool done, late;
        {
            py::gil_scoped_release nogil;
            done = attempt();
            late = !done && expired();
            if (!done && !late && pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
        if (done) return true;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (late) return false;
    }
}

void raiseTimeout(const char* what, const std::string& target) {
    PyErr_SetString(PyExc_TimeoutError, (std::string("no ") + what + " from " + target + " in time").c_str());
    throw py::error_already_set();
}

py::dtype pointDtype() {
    return py::dtype::of<ZelOrbPointData>();
}

py::array newFrame() {
    return py::array(pointDtype(), {ZEL_ORB_FRAME_ROWS, ZEL_ORB_FRAME_COLS});
}

ZelOrbPointData* framePoints(const py::handle& obj, const char* name, bool writable) {
    if (!py::isinstance<py::array>(obj))
        throw py::type_error(std::string(name) + " must be a numpy array of orb_sdk.POINT_DTYPE");
    auto a = py::reinterpret_borrow<py::array>(obj);
    if (!a.dtype().equal(pointDtype()))
        throw py::type_error(std::string(name) + " has dtype " + py::str(a.dtype()).cast<std::string>() +
                             ", not orb_sdk.POINT_DTYPE");
    if (a.ndim() != 2 || a.shape(0) != ZEL_ORB_FRAME_ROWS || a.shape(1) != ZEL_ORB_FRAME_COLS)
        throw py::value_error(std::string(name) + " must have shape (150, 360), not " +
                              py::str(a.attr("shape")).cast<std::string>());
    const int flags = py::detail::array_proxy(a.ptr())->flags;
    if (!(flags & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_) || !(flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_))
        throw py::value_error(std::string(name) + " must be C-contiguous and aligned");
    if (writable && !a.writeable()) throw py::value_error(std::string(name) + " is read-only");
    return static_cast<ZelOrbPointData*>(const_cast<void*>(a.data()));
}

py::array xyzView(const py::array& frame) {
    framePoints(frame, "frame", false);
    const py::ssize_t s = static_cast<py::ssize_t>(sizeof(ZelOrbPointData));
    const auto* base = static_cast<const char*>(frame.data()) + offsetof(ZelOrbPointData, x);
    py::array view(py::dtype::of<float>(), {ZEL_ORB_FRAME_ROWS, ZEL_ORB_FRAME_COLS, 3},
                   {s * ZEL_ORB_FRAME_COLS, s, static_cast<py::ssize_t>(sizeof(float))},
                   reinterpret_cast<const float*>(base), frame);
    if (!frame.writeable()) py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return view;
}

py::array adoptBuffer(std::unique_ptr<std::uint8_t[]> bytes, const py::dtype& dtype, std::vector<py::ssize_t> shape) {
    std::uint8_t* raw = bytes.release();
    py::capsule owner(raw, [](void* p) { delete[] static_cast<std::uint8_t*>(p); });
    return py::array(dtype, std::move(shape), raw, owner);
}

}  // namespace orbpy

PYBIND11_MODULE(_orb_sdk, m) {
    using namespace orbpy;
    m.doc() = "Python interface of the orb_sdk_win LiDAR camera library";
    py::module_::import("numpy");
    PYBIND11_NUMPY_DTYPE(ZelOrbPointData, row, column, distance, intensity, x, y, z, timestamp, tag);
    if (ZelOrbInit() != 0) throw std::runtime_error("the socket interface could not be started");

    registerErrors(m);
    m.attr("POINT_DTYPE") = pointDtype();
    m.attr("ROWS") = ZEL_ORB_FRAME_ROWS;
    m.attr("COLS") = ZEL_ORB_FRAME_COLS;
    m.attr("FRAME_SHAPE") = py::make_tuple(ZEL_ORB_FRAME_ROWS, ZEL_ORB_FRAME_COLS);
    m.attr("LIDAR") = 1;
    m.attr("RGB_CAMERA") = 2;
    m.attr("SINGLE_ECHO") = 0;
    m.attr("DUAL_ECHO") = 1;
    m.def("return_code_text", &ZelOrbReturnCodeToString, py::arg("code"), "Text of a library code (RC_*).");
    m.def("status_text", &ZelGetReturnCodeDescriptor, py::arg("code"), "Text of a device status code (DEV_*).");
    m.def("xyz", &xyzView, py::arg("frame"), "A float32 (150, 360, 3) view of the frame's x, y and z.");
    m.def(
        "start_recording",
        [](const std::string& path) {
            check(released([&] { return ZelOrbStartRecording(path.c_str()); }), Codes::Library,
                  "ZelOrbStartRecording", path);
        },
        py::arg("path"), "Records every datagram the library receives into a pcap file (replaced if it exists).");
    m.def(
        "stop_recording",
        [] { check(released([] { return ZelOrbStopRecording(); }), Codes::Library, "ZelOrbStopRecording", ""); },
        "Writes what is queued and closes the recording.");

    bindProcessing(m);
    bindDiscovery(m);
    bindCamera(m);
    bindSimulator(m);

    // Threads of ours must be gone before the interpreter finalizes.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        closeAllCameras();
        stopAllSimulators();
        waitForDiscoveryWorkers();
        ZelOrbDeinit();
    }));
}
