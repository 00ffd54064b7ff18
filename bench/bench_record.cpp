// Record and replay on loopback, with orb-sim as a child process so that the
// CPU figures of this process are the library's own:
//   a. the library's CPU while one camera streams 20 frames/s with RGB and
//      nine-axis IMU, in alternating windows without and with a recording
//      (side by side, same run), and the frames each window lost;
//   b. that recording replayed by orb-sim at rising speeds until the library
//      loses datagrams (its zero-loss capacity with the replay as sender),
//      then at --max-rate: the replay's top rate as a ratio to it.
// Linux only. Run inside a private network namespace.
//   bench_record [window seconds (default 10)] [windows of each kind (default 2)]
// Each recording pays once for its queue's first pages: short windows overstate it.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "device/context.h"
#include "device/device.h"
#include "orb_sdk.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kCamera = "127.0.0.2";
constexpr const char* kHost = "127.0.0.1";
constexpr int kHostPort = 6001;

double processCpu() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Frames delivered, and those missing between them (the simulator numbers
// its frames in the points' timestamp).
std::atomic<std::uint64_t> gFrames{0}, gMissing{0}, gLastIndex{0};
void onFrame(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    const std::uint64_t index = frame[0][0].timestamp;
    const std::uint64_t last = gLastIndex.exchange(index);
    if (gFrames.fetch_add(1) > 0 && index > last + 1) gMissing += index - last - 1;
}

// Of the connected camera's point-cloud stream.
struct StreamCounts {
    std::uint64_t queued = 0, dropped = 0;
};
StreamCounts streamCounts() {
    StreamCounts c;
    auto& reg = orb::libraryContext().registry;
    std::shared_lock<std::shared_mutex> lock(reg.mutex());
    auto it = reg.devices().find(kCamera);
    if (it == reg.devices().end()) return c;
    const auto& st = it->second->stream.stats;
    c.queued = st.datagramsQueued.load();
    c.dropped = st.datagramsDroppedQueueFull.load() + st.framesDroppedQueueFull.load();
    return c;
}

bool connectCamera(bool sideStreams) {
    for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(20ms)) {
        if (ZelOrbConnectDevice(kCamera, 6301) < 0) continue;
        ZelOrbRegisterCallbackUpdateFrame(kCamera, onFrame);
        if (sideStreams) {
            ZelOrbStartDevice9AxisImuStream(kCamera);
            ZelOrbStartDeviceRgbStream(kCamera);
        }
        return true;
    }
    return false;
}

void disconnectCamera() {
    ZelOrbStopDevice9AxisImuStream(kCamera);
    ZelOrbStopDeviceRgbStream(kCamera);
    ZelOrbDisconnectDevice(kCamera);
}

struct Window {
    double cpu = 0;  // share of one core
    std::uint64_t frames = 0, missing = 0;
};

Window measureWindow(double seconds) {
    const std::uint64_t f0 = gFrames, m0 = gMissing;
    const double c0 = processCpu();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    Window w;
    w.cpu = (processCpu() - c0) / std::chrono::duration<double>(Clock::now() - t0).count();
    w.frames = gFrames - f0;
    w.missing = gMissing - m0;
    return w;
}

// a. Returns the path of the last recording.
std::string recordingOverhead(const std::string& sim, double seconds, int windows) {
    std::printf("a. library CPU, 20 frames/s with RGB (10/s) and nine-axis IMU (200/s), %.0f s windows\n", seconds);
    const double simSeconds = 3 + 2 * windows * (seconds + 0.5) + 2;
    const std::string cmd = sim + " --ip " + kCamera + " --fps 20 --rgb-rate 10 --imu-rate 200 --no-announce --quiet" +
                            " --seconds " + std::to_string(simSeconds) + " >/dev/null";
    std::thread child([cmd] { std::system(cmd.c_str()); });
    const std::string path = "/tmp/bench_record_" + std::to_string(::getpid()) + ".pcap";
    if (!connectCamera(true)) {
        std::printf("  camera did not answer\n");
        child.join();
        return "";
    }
    std::this_thread::sleep_for(1s);  // streams settle
    Window sum[2];
    for (int i = 0; i < 2 * windows; ++i) {
        const bool on = i % 2 == 1;
        if (on) ZelOrbStartRecording(path.c_str());
        const Window w = measureWindow(seconds);
        if (on) ZelOrbStopRecording();
        std::printf("  recording %-3s CPU %5.1f%% of a core, %3llu frames, %llu missing\n", on ? "on" : "off",
                    100 * w.cpu, static_cast<unsigned long long>(w.frames), static_cast<unsigned long long>(w.missing));
        std::fflush(stdout);
        sum[on].cpu += w.cpu / windows;
        sum[on].frames += w.frames;
        sum[on].missing += w.missing;
        std::this_thread::sleep_for(500ms);
    }
    disconnectCamera();
    child.join();
    std::printf("  mean CPU off %.1f%%, on %.1f%%: recording adds %.1f%% of a core (target <= 5%%), ratio %.2f; "
                "frames missing off %llu, on %llu\n",
                100 * sum[0].cpu, 100 * sum[1].cpu, 100 * (sum[1].cpu - sum[0].cpu), sum[1].cpu / sum[0].cpu,
                static_cast<unsigned long long>(sum[0].missing), static_cast<unsigned long long>(sum[1].missing));
    return path;
}

struct ReplayTrial {
    bool lossless = false;
    double rate = 0;  // point-cloud datagrams/s the replay sent
};

ReplayTrial replayTrial(const std::string& sim, const std::string& path, const std::string& pace) {
    const std::string cmd = sim + " --replay " + path + " " + pace + " --quiet --no-control-server 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    ReplayTrial t;
    if (!p) return t;
    const StreamCounts before = streamCounts();
    std::thread connector([] { connectCamera(false); });
    char line[512];
    unsigned long long sent = 0;
    double seconds = 0;
    while (std::fgets(line, sizeof line, p)) {
        if (const char* s = std::strstr(line, "replay done: "))
            std::sscanf(s, "replay done: %llu point-cloud, %*u IMU, %*u RGB datagrams sent, %*u not sent, %*u passes, %lf s",
                        &sent, &seconds);
    }
    ::pclose(p);
    connector.join();
    StreamCounts after = streamCounts();
    for (int i = 0; i < 500 && after.queued - before.queued < sent; ++i, std::this_thread::sleep_for(2ms))
        after = streamCounts();
    disconnectCamera();
    t.rate = seconds > 0 ? static_cast<double>(sent) / seconds : 0;
    t.lossless = sent > 0 && after.queued - before.queued == sent && after.dropped == before.dropped;
    std::printf("  %-12s sent %8.0f datagrams/s, library queued %llu of %llu: %s\n", pace.c_str(), t.rate,
                static_cast<unsigned long long>(after.queued - before.queued), sent, t.lossless ? "lossless" : "LOSS");
    std::fflush(stdout);
    return t;
}

void replayRate(const std::string& sim, const std::string& path) {
    std::printf("b. replaying the last recording (point-cloud datagrams/s)\n");
    double capacity = 0, previous = 0;
    bool lost = false;
    for (double speed = 1; speed <= 256 && !lost; speed *= 2) {
        const ReplayTrial t = replayTrial(sim, path, "--speed " + std::to_string(static_cast<int>(speed)));
        lost = !t.lossless;
        if (t.lossless) capacity = std::max(capacity, t.rate);
        if (t.rate < 1.3 * previous) break;  // the replay's own limit
        previous = t.rate;
    }
    const ReplayTrial top = replayTrial(sim, path, "--max-rate");
    std::printf("  library zero-loss %s %.0f/s, replay --max-rate %.0f/s: ratio %.2f (target >= 1)\n",
                lost ? "capacity" : "(never lost; the replay's limit)", capacity, top.rate,
                capacity > 0 ? top.rate / capacity : 0);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int windows = argc > 2 ? std::atoi(argv[2]) : 2;
    const std::string sim = ORB_SIM_BINARY;
    ZelOrbInit();
    if (ZelOrbStartReceiveData(kHost, kHostPort) != RC_OK) {
        std::printf("cannot receive on %s:%d\n", kHost, kHostPort);
        return 1;
    }
    const std::string path = recordingOverhead(sim, seconds, windows);
    if (!path.empty()) replayRate(sim, path);
    ZelOrbStopReceiveData();
    std::remove(path.c_str());
    return 0;
}
