// Python callbacks of the camera streams. The library's threads only copy
// the data and go on; one thread of the module per camera runs the Python
// functions, holding the GIL only for them. So the library never waits for
// Python, and a Python callback may call anything, its own camera included.
#pragma once

#include <memory>
#include <string>

#include "common.h"

namespace orbpy {

enum Stream : int { kFrame, kImu, kSixAxis, kRgb, kStreams };

class Dispatcher;

// The callbacks of one camera. The library's callbacks carry no context, so
// a camera with callbacks takes one of a fixed set of slots, each with its
// own C functions leading to the camera's dispatcher. GIL held in every call.
class CameraCallbacks {
public:
    // Sets fn (None: stops) for a stream of the camera at ip; the first time
    // a stream gets a function, the slot's C function is registered.
    void set(Stream s, const std::string& ip, py::object fn);
    // Items dropped per stream because a callback fell behind.
    py::dict drops() const;
    // After the disconnection: frees the slot when the library no longer
    // holds its functions (disconnected), else keeps it taken for good.
    // The caller ends the dispatcher returned with stopDispatcher, outside
    // any lock a callback might want.
    std::shared_ptr<Dispatcher> release(bool disconnected);

private:
    int slot_ = -1;
    bool registered_[kStreams] = {};
    std::shared_ptr<Dispatcher> dispatcher_;
};

// Ends the dispatcher's thread: joined, or left to end by itself when this
// is a callback on it. GIL held.
void stopDispatcher(const std::shared_ptr<Dispatcher>& d);

}  // namespace orbpy
