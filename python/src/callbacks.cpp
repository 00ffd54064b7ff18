#include "callbacks.h"

#include <array>
#include <atomic>
#include <bitset>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

namespace orbpy {

namespace {

constexpr std::size_t kFrameBytes = sizeof(ZelOrbPointData) * ZEL_ORB_FRAME_POINTS;
constexpr const char* kStreamNames[kStreams] = {"frame", "imu", "six_axis", "rgb"};
// Items waiting for a slow Python callback; beyond this the oldest is dropped.
constexpr std::size_t kQueueLimit[kStreams] = {4, 1024, 1024, 2};

struct Event {
    std::uint64_t seq = 0;
    std::unique_ptr<std::uint8_t[]> bytes;  // frame points or RGB pixels
    std::uint32_t width = 0, height = 0;
    ZelOrb9AxisImuData imu{};
    ZelOrb6AxisImuData six{};
};

}  // namespace

// Takes a camera's callback data from the library's threads, copied at once,
// and runs the Python callbacks on a thread of its own.
class Dispatcher : public std::enable_shared_from_this<Dispatcher> {
public:
    // Library threads. Nothing may throw into the library.
    void frame(ZelOrbPointData (*points)[ZEL_ORB_FRAME_COLS]) noexcept {
        if (!wanted_[kFrame].load(std::memory_order_acquire)) return;
        Event e;
        if (!copyInto(e, points, kFrameBytes)) return drop(kFrame);
        push(kFrame, std::move(e));
    }
    void imu(ZelOrb9AxisImuData data) noexcept {
        if (!wanted_[kImu].load(std::memory_order_acquire)) return;
        Event e;
        e.imu = data;
        push(kImu, std::move(e));
    }
    void sixAxis(ZelOrb6AxisImuData data) noexcept {
        if (!wanted_[kSixAxis].load(std::memory_order_acquire)) return;
        Event e;
        e.six = data;
        push(kSixAxis, std::move(e));
    }
    void rgb(ZelOrbRgbData data) noexcept {
        if (!wanted_[kRgb].load(std::memory_order_acquire)) return;
        if (!data.data || data.size != std::uint64_t{data.width} * data.height * 3) return;  // not decoded
        Event e;
        e.width = data.width;
        e.height = data.height;
        if (!copyInto(e, data.data, static_cast<std::size_t>(data.size))) return drop(kRgb);
        push(kRgb, std::move(e));
    }

    // GIL held.
    void setCallback(Stream s, py::object fn) {
        const bool on = !fn.is_none();
        py::object old = std::move(callbacks_[s]);
        callbacks_[s] = on ? std::move(fn) : py::object();
        wanted_[s].store(on, std::memory_order_release);
        if (on && !thread_.joinable()) thread_ = std::thread([self = shared_from_this()] { self->run(); });
    }
    // GIL held. Joins the thread, unless called from a callback on it.
    void stop() {
        for (auto& w : wanted_) w.store(false);
        {
            std::lock_guard<std::mutex> lk(mutex_);
            stopping_ = true;
            for (auto& q : queues_) q.clear();
        }
        cv_.notify_all();
        if (thread_.joinable()) {
            if (thread_.get_id() == std::this_thread::get_id()) {
                thread_.detach();  // the thread owns a reference to this object and ends after the callback
            } else {
                py::gil_scoped_release nogil;
                thread_.join();
            }
        }
        for (auto& c : callbacks_) py::object old = std::move(c);
    }
    std::uint64_t dropped(Stream s) const {
        std::lock_guard<std::mutex> lk(mutex_);
        return dropped_[s];
    }

private:
    static bool copyInto(Event& e, const void* src, std::size_t n) noexcept {
        e.bytes.reset(new (std::nothrow) std::uint8_t[n]);
        if (!e.bytes) return false;
        std::memcpy(e.bytes.get(), src, n);
        return true;
    }
    void drop(Stream s) noexcept {
        std::lock_guard<std::mutex> lk(mutex_);
        ++dropped_[s];
    }
    void push(Stream s, Event&& e) noexcept {
        {
            std::lock_guard<std::mutex> lk(mutex_);
            if (stopping_) return;
            auto& q = queues_[s];
            if (q.size() >= kQueueLimit[s]) {
                q.pop_front();
                ++dropped_[s];
            }
            e.seq = nextSeq_++;
            try {
                q.push_back(std::move(e));
            } catch (...) {
                ++dropped_[s];
            }
        }
        cv_.notify_one();
    }
    py::object toPython(Stream s, Event& e) {
        switch (s) {
            case kFrame:
                return adoptBuffer(std::move(e.bytes), pointDtype(), {ZEL_ORB_FRAME_ROWS, ZEL_ORB_FRAME_COLS});
            case kRgb:
                return adoptBuffer(std::move(e.bytes), py::dtype::of<std::uint8_t>(), {e.height, e.width, 3});
            case kImu:
                return py::cast(e.imu);
            default:
                return py::cast(e.six);
        }
    }
    void run() {
        for (;;) {
            Event e;
            Stream s = kFrame;
            {
                std::unique_lock<std::mutex> lk(mutex_);
                cv_.wait(lk, [&] {
                    if (stopping_) return true;
                    for (const auto& q : queues_)
                        if (!q.empty()) return true;
                    return false;
                });
                if (stopping_) return;
                // Oldest first across the streams.
                std::uint64_t best = std::numeric_limits<std::uint64_t>::max();
                for (int k = 0; k < kStreams; ++k)
                    if (!queues_[k].empty() && queues_[k].front().seq < best) {
                        best = queues_[k].front().seq;
                        s = static_cast<Stream>(k);
                    }
                e = std::move(queues_[s].front());
                queues_[s].pop_front();
            }
            py::gil_scoped_acquire gil;
            py::object fn = callbacks_[s];
            if (!fn) continue;
            try {
                fn(toPython(s, e));
            } catch (py::error_already_set& err) {
                err.discard_as_unraisable(fn);
            } catch (const std::exception& ex) {
                PyErr_SetString(PyExc_RuntimeError, ex.what());
                PyErr_WriteUnraisable(fn.ptr());
            }
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Event> queues_[kStreams];
    std::uint64_t dropped_[kStreams] = {};
    std::uint64_t nextSeq_ = 0;
    bool stopping_ = false;
    std::atomic<bool> wanted_[kStreams] = {};
    py::object callbacks_[kStreams];  // GIL
    std::thread thread_;
};

namespace {

constexpr std::size_t kSlots = 64;
std::array<std::atomic<Dispatcher*>, kSlots> gSinks{};
std::bitset<kSlots> gTaken;                                     // GIL
std::vector<std::shared_ptr<Dispatcher>>* gStranded = nullptr;  // slots the library may still call

template <class Arg, void (Dispatcher::*Method)(Arg), std::size_t I>
void trampoline(Arg a) {
    if (Dispatcher* d = gSinks[I].load(std::memory_order_acquire)) (d->*Method)(a);
}
template <class Arg, void (Dispatcher::*Method)(Arg), std::size_t... I>
constexpr std::array<void (*)(Arg), kSlots> trampolines(std::index_sequence<I...>) {
    return {&trampoline<Arg, Method, I>...};
}
constexpr auto kSlotSeq = std::make_index_sequence<kSlots>{};
constexpr auto kFrameCallbacks = trampolines<ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS], &Dispatcher::frame>(kSlotSeq);
constexpr auto kImuCallbacks = trampolines<ZelOrb9AxisImuData, &Dispatcher::imu>(kSlotSeq);
constexpr auto kSixAxisCallbacks = trampolines<ZelOrb6AxisImuData, &Dispatcher::sixAxis>(kSlotSeq);
constexpr auto kRgbCallbacks = trampolines<ZelOrbRgbData, &Dispatcher::rgb>(kSlotSeq);

std::int32_t registerCallback(Stream s, const char* ip, std::size_t slot) {
    switch (s) {
        case kFrame:
            return ZelOrbRegisterCallbackUpdateFrame(ip, kFrameCallbacks[slot]);
        case kImu:
            return ZelOrbRegisterCallbackUpdate9AxisImuData(ip, kImuCallbacks[slot]);
        case kSixAxis:
            return ZelOrbRegisterCallbackUpdate6AxisImuData(ip, kSixAxisCallbacks[slot]);
        default:
            return ZelOrbRegisterCallbackUpdateRgb(ip, kRgbCallbacks[slot]);
    }
}
constexpr const char* kRegisterCalls[kStreams] = {
    "ZelOrbRegisterCallbackUpdateFrame", "ZelOrbRegisterCallbackUpdate9AxisImuData",
    "ZelOrbRegisterCallbackUpdate6AxisImuData", "ZelOrbRegisterCallbackUpdateRgb"};

}  // namespace

void CameraCallbacks::set(Stream s, const std::string& ip, py::object fn) {
    if (!fn.is_none() && !PyCallable_Check(fn.ptr())) throw py::type_error("the callback must be callable or None");
    const bool on = !fn.is_none();
    if (!on && !dispatcher_) return;
    if (!dispatcher_) {
        std::size_t slot = 0;
        while (slot < kSlots && gTaken.test(slot)) ++slot;
        if (slot == kSlots) throw py::value_error("at most 64 cameras can have callbacks at once");
        gTaken.set(slot);
        slot_ = static_cast<int>(slot);
        dispatcher_ = std::make_shared<Dispatcher>();
        gSinks[slot].store(dispatcher_.get(), std::memory_order_release);
    }
    dispatcher_->setCallback(s, std::move(fn));
    if (on && !registered_[s]) {
        const auto slot = static_cast<std::size_t>(slot_);
        check(released([&] { return registerCallback(s, ip.c_str(), slot); }), Codes::Library, kRegisterCalls[s], ip);
        registered_[s] = true;
    }
}

py::dict CameraCallbacks::drops() const {
    py::dict d;
    for (int s = 0; s < kStreams; ++s)
        d[kStreamNames[s]] = dispatcher_ ? dispatcher_->dropped(static_cast<Stream>(s)) : 0;
    return d;
}

std::shared_ptr<Dispatcher> CameraCallbacks::release(bool disconnected) {
    if (slot_ >= 0) {
        if (disconnected) {
            gSinks[static_cast<std::size_t>(slot_)].store(nullptr);
            gTaken.reset(static_cast<std::size_t>(slot_));
        } else {
            if (!gStranded) gStranded = new std::vector<std::shared_ptr<Dispatcher>>();
            gStranded->push_back(dispatcher_);
        }
        slot_ = -1;
    }
    return std::move(dispatcher_);
}

void stopDispatcher(const std::shared_ptr<Dispatcher>& d) {
    if (d) d->stop();
}

}  // namespace orbpy
