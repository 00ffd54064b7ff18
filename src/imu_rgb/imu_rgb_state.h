// Per-device IMU and RGB reception state, a part of the device record.
//
// Everything a stream thread touches lives in shared blocks that the thread
// itself co-owns, so a thread that outlives the record (a callback that
// blocks past the 2 s stop limit) never runs on freed memory. The record's
// control endpoint is reached only through the owner gate, which teardown
// closes; the device IP the threads mark their callbacks with is a copy.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "control/control_endpoint.h"
#include "orb_sdk.h"
#include "platform/net.h"
#include "record/recorder.h"

namespace orb {

struct RgbShared;  // rgb_stream.h

// Run and exit flags of one stream thread. Each started thread gets its own
// pair, so a thread that did not stop in time never picks up the run flag of
// its successor.
struct ThreadFlags {
    std::atomic<bool> run{false};
    std::atomic<bool> exit{true};
};

constexpr std::chrono::milliseconds kStreamStopLimit{2000};
constexpr std::size_t kStreamReceiveArea = 65536;  // one datagram of any size

// Clears the run flag and waits (50 ms steps) for the exit flag; true when
// the thread has ended, false when limit passed first.
bool stopStreamThread(ThreadFlags& flags, std::chrono::milliseconds limit = kStreamStopLimit);

// Starts body on a detached thread with fresh flags, already marked running
// so that a stop waits for the thread itself. Null when the system refuses
// a thread.
std::shared_ptr<ThreadFlags> launchStreamThread(std::function<void(const std::shared_ptr<ThreadFlags>&)> body);

// A stream thread's socket, the host endpoint it was opened on and the
// process's recorder (which outlives every device).
struct StreamSocket {
    net::Socket sock = net::kInvalidSocket;
    net::Endpoint local;
    record::Recorder* recorder = nullptr;
};

// One datagram from a stream socket into buf, offered to the recorder: its
// length, or 0 when none came within kStreamIdleWait (the thread then looks
// at its run flag). The thread sleeps in the wait until a datagram arrives; a
// socket that cannot be waited on costs a pause instead, so the thread never
// spins.
constexpr std::chrono::milliseconds kStreamIdleWait{20};
std::size_t receiveOrWait(const StreamSocket& source, std::vector<std::uint8_t>& buf);

// The device as its stream threads see it.
struct OwnerGate {
    explicit OwnerGate(const std::string& ip) : deviceIp(ip) {}
    const std::string deviceIp;  // a copy: valid as long as any thread holds the gate
    std::mutex mutex;
    const ControlEndpoint* ctrl = nullptr;  // null before the first start and after teardown
    bool isOpen() {
        std::lock_guard<std::mutex> lk(mutex);
        return ctrl != nullptr;
    }
};

struct ImuShared {
    std::mutex mutex;  // latest, callback, newSample transitions
    std::condition_variable cv;
    std::atomic<bool> newSample{false};
    ZelOrb9AxisImuData latest{};
    ZelOrb9AxisImuCallback callback = nullptr;
    std::atomic<std::uint64_t> samples{0};  // parsed by the IMU thread
};

class ImuRgbState {
public:
    // The stream threads offer every datagram they receive to the recorder,
    // which outlives every device.
    ImuRgbState(const std::string& deviceIp, record::Recorder& recorder);
    ~ImuRgbState();  // stopAll(), then the shared blocks go with their last thread
    ImuRgbState(const ImuRgbState&) = delete;
    ImuRgbState& operator=(const ImuRgbState&) = delete;

    // Asks every stream thread to stop, closes the owner gate and waits up to
    // 2 s per thread. Idempotent. True when all threads have ended.
    bool stopAll();

    // For a connection setup that replaces the data and IMU sockets: stops
    // the stream threads before reopen() closes the old sockets (they would
    // otherwise keep reading a closed descriptor whose number may be
    // reused), then starts again those that were running, on the new
    // sockets. Starts and stops of the streams wait meanwhile.
    void replaceSockets(const ControlEndpoint& ctrl, const std::function<void()>& reopen);

    std::mutex controlMutex;  // serialises start/stop; guards the flag pointers below
    std::shared_ptr<ThreadFlags> imuFlags;
    std::shared_ptr<ThreadFlags> rgbRecvFlags;
    std::shared_ptr<ThreadFlags> rgbProcFlags;

    const std::shared_ptr<OwnerGate> gate;
    const std::shared_ptr<ImuShared> imu;
    const std::shared_ptr<RgbShared> rgb;
    record::Recorder& recorder;
};

// Start the device's nine-axis / RGB threads on the endpoint's current
// sockets (stopping running ones first): RC_OK or RC_IMU_START_FAILED /
// RC_RGB_START_FAILED. The caller keeps the record alive.
std::int32_t startImuStream(ImuRgbState& st, const ControlEndpoint& ctrl);
std::int32_t startRgbStream(ImuRgbState& st, const ControlEndpoint& ctrl);
// Stop them: RC_OK, or -1 when a thread did not end within the stop limit.
std::int32_t stopImuStream(ImuRgbState& st);
std::int32_t stopRgbStream(ImuRgbState& st);
// The same starts with st.controlMutex already held.
std::int32_t startImuStreamLocked(ImuRgbState& st, const ControlEndpoint& ctrl);
std::int32_t startRgbStreamLocked(ImuRgbState& st, const ControlEndpoint& ctrl);

// Opens the owner gate on ctrl; called by a start. Caller holds controlMutex.
void openGate(ImuRgbState& st, const ControlEndpoint& ctrl);
// Wakes the RGB processing thread waiting for a frame, so it sees its run
// flag cleared at once.
void wakeRgbProcessing(RgbShared& rgb);

}  // namespace orb
