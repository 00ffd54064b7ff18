// Helpers shared by the parts of the Python module: the error type, calls
// made without the GIL, waiting that Ctrl-C can end, and numpy frames.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "orb_sdk.h"

namespace orbpy {

namespace py = pybind11;

// Which table turns a code into text: library codes (RC_*) or the device
// status codes (DEV_*) that configuration calls return.
enum class Codes { Library, Status, Angle };

// Thrown by the wrappers; the module turns it into orb_sdk.Error.
struct CallError {
    std::int32_t code;
    std::string text;
    std::string call;
    std::string target;
};

[[noreturn]] void raise(std::int32_t code, Codes codes, const char* call, const std::string& target);
inline void check(std::int32_t rc, Codes codes, const char* call, const std::string& target) {
    if (rc != 0) raise(rc, codes, call, target);
}
// Registers orb_sdk.Error and the translation of CallError.
void registerErrors(py::module_& m);

// Runs f with the GIL released: every library call may wait for a library
// thread that is itself waiting to hand data to Python.
template <class F>
auto released(F&& f) {
    py::gil_scoped_release nogil;
    return f();
}

// Calls attempt() (without the GIL) until it returns true or the time-out
// passes (none: no limit), pausing pauseMs between tries. Ctrl-C and other
// signal handlers run between tries and end the wait with their exception.
// False on time-out.
bool pollUntil(std::optional<double> timeout, int pauseMs, const std::function<bool()>& attempt);
[[noreturn]] void raiseTimeout(const char* what, const std::string& target);

// Frames: numpy structured arrays of shape (150, 360) with the point record's fields.
py::dtype pointDtype();
py::array newFrame();
// The frame's points, after checking the argument: TypeError for anything
// but an array of the point dtype, ValueError for another shape, a
// non-contiguous or (when writable) read-only array.
ZelOrbPointData* framePoints(const py::handle& obj, const char* name, bool writable);
// A float32 (150, 360, 3) view of x, y, z inside a frame.
py::array xyzView(const py::array& frame);

// An array that owns a buffer made elsewhere (freed with the array).
py::array adoptBuffer(std::unique_ptr<std::uint8_t[]> bytes, const py::dtype& dtype, std::vector<py::ssize_t> shape);

inline ZelOrbPointData (*rows(ZelOrbPointData* p))[ZEL_ORB_FRAME_COLS] {
    return reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(p);
}

// Text fields of the fixed-size records.
template <std::size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}
template <std::size_t N>
void setField(char (&field)[N], const std::string& text, const char* name) {
    if (text.size() >= N)
        throw py::value_error(std::string(name) + " is longer than " + std::to_string(N - 1) + " characters");
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size());
}

// Parts of the module, each in its own file.
void bindProcessing(py::module_& m);
void bindDiscovery(py::module_& m);
void bindCamera(py::module_& m);
void bindSimulator(py::module_& m);
// Called at interpreter exit, before Python tears down: closes every camera
// and simulator so no thread of ours waits for the GIL during finalization.
void closeAllCameras();
void stopAllSimulators();
void waitForDiscoveryWorkers();

}  // namespace orbpy
