// End to end on loopback, with the simulated camera in a child process (this
// program started again with --sender), so that CPU figures of this process
// are the library's own:
//   c. the highest datagram rate one device can send with zero frames lost,
//      as a ratio to two bare receivers measured in the same run (a
//      non-blocking recvfrom loop pausing 1 ms when empty, and a recvmmsg
//      loop taking up to 64 datagrams per call), and the reception thread's
//      CPU at 76,200 datagrams/s;
//   d. latency from the last datagram of a frame leaving the simulator to the
//      frame callback (and from the datagram that closes the frame);
//   e. CPU of the library's threads while one device streams 20 frames/s of
//      record format 10;
//   f. CPU of the library with one registered device that sends nothing.
// Per-thread CPU time comes from /proc on Linux and GetThreadTimes on Windows.
#ifdef _WIN32
#include <windows.h>
#include <process.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "device/context.h"
#include "orb_sdk.h"
#include "platform/net.h"
#include "pointcloud_streamer.h"
#include "scene.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint16_t kPort = 16201;
constexpr const char* kDevice = "127.0.0.2";
constexpr int kPacketsPerFrame = 450;  // data type 1, format 10
std::string gSelf;

std::int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// --- the sender (child process) --------------------------------------------

int senderMain(int argc, char** argv) {
    if (argc < 6) return 2;
    orb::net::startup();  // Winsock, for the simulator's sockets
    orbsim::StreamerOptions o;
    o.deviceIp = kDevice;
    o.sourcePort = 6301;
    o.hostIp = "127.0.0.1";
    o.hostPort = static_cast<std::uint16_t>(std::atoi(argv[2]));
    o.frameRate = std::atof(argv[3]);
    o.pointFormat = static_cast<std::uint8_t>(std::atoi(argv[4]));
    const double seconds = std::atof(argv[5]);
    o.staticScene = true;
    o.keepFrames = 0;
    // One frame more: the first datagram of the next frame closes the last one.
    o.maxFrames = static_cast<std::uint64_t>(o.frameRate * seconds) + 1;
    orbsim::PointCloudStreamer sim(o, orbsim::makeBoxScene(400, orbsim::BoxSpec{}));
    std::string err;
    if (!sim.start(&err)) {
        std::fprintf(stderr, "sender: %s\n", err.c_str());
        return 1;
    }
    sim.waitFramesSent(o.maxFrames, std::chrono::milliseconds(static_cast<long long>(seconds * 1000) + 20000));
    sim.stop();
    const auto t = sim.timings();
    const double elapsed = t.size() > 1 ? std::chrono::duration<double>(t.back().lastSent - t.front().firstSent).count() : 1;
    std::printf("%llu %llu %.6f\n", static_cast<unsigned long long>(sim.framesSent()),
                static_cast<unsigned long long>(sim.packetsSent()), elapsed);
    if (argc > 6) {
        std::ofstream f(argv[6]);
        for (const auto& x : t)
            f << x.index << ' ' << x.firstSent.time_since_epoch().count() << ' ' << x.lastSent.time_since_epoch().count()
              << '\n';
    }
    return 0;
}

struct SenderResult {
    std::uint64_t frames = 0, packets = 0;
    double seconds = 0;
    double rate() const { return seconds > 0 ? static_cast<double>(packets) / seconds : 0; }
};

// --- what differs between Linux and Windows ---------------------------------

#ifdef _WIN32
FILE* openReader(const std::string& cmd) { return ::_popen(cmd.c_str(), "r"); }
void closeReader(FILE* p) { ::_pclose(p); }
int processId() { return ::_getpid(); }
std::string selfPath() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
}
std::set<int> threadIds() {
    std::set<int> ids;
    const HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    for (BOOL ok = ::Thread32First(snap, &e); ok; ok = ::Thread32Next(snap, &e))
        if (e.th32OwnerProcessID == ::GetCurrentProcessId()) ids.insert(static_cast<int>(e.th32ThreadID));
    ::CloseHandle(snap);
    return ids;
}
double seconds(const FILETIME& kernel, const FILETIME& user) {
    const auto ticks = [](const FILETIME& f) { return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;  // 100 ns ticks
}
// CPU time a thread has run, in seconds.
double threadCpu(int tid) {
    const HANDLE h = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(tid));
    if (!h) return 0;
    FILETIME created, exited, kernel, user;
    const double s = ::GetThreadTimes(h, &created, &exited, &kernel, &user) ? seconds(kernel, user) : 0;
    ::CloseHandle(h);
    return s;
}
double processCpu() {
    FILETIME created, exited, kernel, user;
    return ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user) ? seconds(kernel, user) : 0;
}
constexpr const char* kBatchName = "batch";
#else
FILE* openReader(const std::string& cmd) { return ::popen(cmd.c_str(), "r"); }
void closeReader(FILE* p) { ::pclose(p); }
int processId() { return ::getpid(); }
std::string selfPath() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
}
std::set<int> threadIds() {
    std::set<int> ids;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
        ::closedir(d);
    }
    return ids;
}
// CPU time a thread has run, in seconds.
double threadCpu(int tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    unsigned long long ns = 0;
    f >> ns;
    return static_cast<double>(ns) / 1e9;
}
double processCpu() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
constexpr const char* kBatchName = "recvmmsg";
#endif

// Runs the sender child to completion while the caller's receiver runs.
SenderResult runSender(double fps, int format, double seconds, const std::string& timings = "") {
    std::ostringstream cmd;
    cmd << gSelf << " --sender " << kPort << ' ' << fps << ' ' << format << ' ' << seconds << ' ' << timings;
    SenderResult r;
    FILE* p = openReader(cmd.str());
    if (!p) return r;
    unsigned long long frames = 0, packets = 0;
    double secs = 0;
    if (std::fscanf(p, "%llu %llu %lf", &frames, &packets, &secs) == 3) {
        r.frames = frames;
        r.packets = packets;
        r.seconds = secs;
    }
    closeReader(p);
    return r;
}

// --- receivers ------------------------------------------------------------

struct TrialResult {
    bool ok = false;
    double rate = 0;
};

// A bare receiver on the port: recvfrom with a 1 ms pause, or batches of 64.
TrialResult bareTrial(double rate, bool batch, double seconds) {
    orb::net::Socket s = orb::net::udpSocket();
    orb::net::setNonBlocking(s, true);
    orb::net::setRecvBuffer(s, 0x40000000);
    if (!orb::net::bindTo(s, "0.0.0.0", kPort)) {
        std::fprintf(stderr, "bind %u failed\n", kPort);
        std::exit(1);
    }
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> got{0};
    std::thread rx([&] {
        constexpr int kBatch = 64;
        std::vector<std::uint8_t> store(kBatch * 1473);
        std::uint8_t* bufs[kBatch];
        for (int i = 0; i < kBatch; ++i) bufs[i] = store.data() + i * 1473;
        int lens[kBatch];
        orb::net::Endpoint from[kBatch];
        while (!stop.load(std::memory_order_relaxed)) {
            int n = batch ? orb::net::recvBatch(s, bufs, 1473, lens, from, kBatch)
                          : (orb::net::recvFrom(s, bufs[0], 1472, &from[0]) > 0 ? 1 : 0);
            if (n <= 0) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            got.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
        }
    });
    const SenderResult sr = runSender(rate / kPacketsPerFrame, 10, seconds);
    std::this_thread::sleep_for(200ms);
    stop = true;
    rx.join();
    orb::net::closeSocket(s);
    TrialResult t;
    t.rate = sr.rate();
    t.ok = sr.packets > 0 && got.load() == sr.packets;
    return t;
}

orb::DeviceRecord* attachDevice() {
    auto& reg = orb::libraryContext().registry;
    std::unique_lock<std::shared_mutex> lock(reg.mutex());
    auto rec = std::make_shared<orb::DeviceRecord>(kDevice, 6301);
    orb::startStreamThreads(rec->stream);
    orb::DeviceRecord* raw = rec.get();
    reg.devices()[kDevice] = rec;
    return raw;
}

void detachDevice() {
    orb::DevicePtr rec;
    {
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        auto it = reg.devices().find(kDevice);
        if (it == reg.devices().end()) return;
        orb::signalStreamThreadsStop(it->second->stream);
        rec = std::move(it->second);
        reg.devices().erase(it);
    }
    orb::waitStreamThreadsStopped(rec->stream);
}

int gReceptionTid = 0;

struct LibraryTrial : TrialResult {
    double receptionCpu = 0;  // share of one core
};

LibraryTrial libraryTrial(double rate, double seconds) {
    orb::DeviceRecord* dev = attachDevice();
    const double cpu0 = threadCpu(gReceptionTid);
    const auto t0 = Clock::now();
    const SenderResult sr = runSender(rate / kPacketsPerFrame, 10, seconds);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu1 = threadCpu(gReceptionTid);
    const auto& st = dev->stream.stats;
    // Every datagram queued, every frame published (the last one only closes
    // when the extra frame's first datagram comes).
    for (int i = 0; i < 500; ++i) {
        if (st.framesPublished.load() + 1 >= sr.frames && st.datagramsQueued.load() >= sr.packets) break;
        std::this_thread::sleep_for(1ms);
    }
    LibraryTrial t;
    t.rate = sr.rate();
    t.ok = sr.packets > 0 && st.datagramsQueued.load() == sr.packets && st.datagramsDroppedQueueFull.load() == 0 &&
           st.framesDroppedQueueFull.load() == 0 && st.framesPublished.load() + 1 >= sr.frames;
    t.receptionCpu = (cpu1 - cpu0) / wall;
    if (!t.ok)
        std::printf("    (queued %llu of %llu datagrams, queue full %llu; published %llu of %llu frames, frame queue full %llu)\n",
                    static_cast<unsigned long long>(st.datagramsQueued.load()), static_cast<unsigned long long>(sr.packets),
                    static_cast<unsigned long long>(st.datagramsDroppedQueueFull.load()),
                    static_cast<unsigned long long>(st.framesPublished.load()), static_cast<unsigned long long>(sr.frames),
                    static_cast<unsigned long long>(st.framesDroppedQueueFull.load()));
    detachDevice();
    return t;
}

// Highest sender rate with zero loss: doubling, then bisection.
template <class Trial>
double highestLosslessRate(Trial trial, const char* name) {
    double good = 0, bad = 0, rate = 25000;
    double senderMax = 0;
    while (true) {
        const TrialResult r = trial(rate);
        std::printf("  %-10s target %8.0f/s sent %8.0f/s %s\n", name, rate, r.rate, r.ok ? "lossless" : "LOSS");
        std::fflush(stdout);
        senderMax = std::max(senderMax, r.rate);
        if (!r.ok) {
            bad = rate;
            break;
        }
        good = std::max(good, r.rate);
        if (r.rate < 0.9 * rate) return good;  // the sender's own limit
        rate *= 2;
    }
    for (int i = 0; i < 4; ++i) {
        const double mid = (good + bad) / 2;
        const TrialResult r = trial(mid);
        std::printf("  %-10s target %8.0f/s sent %8.0f/s %s\n", name, mid, r.rate, r.ok ? "lossless" : "LOSS");
        std::fflush(stdout);
        if (r.ok)
            good = std::max(good, r.rate);
        else
            bad = mid;
    }
    return good;
}

// --- latency ------------------------------------------------------------

constexpr int kMaxFrames = 4096;
std::int64_t gCallbackNs[kMaxFrames];
std::atomic<int> gCallbacks{0};

void onFrame(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    const std::uint64_t index = frame[0][0].timestamp;
    if (index < kMaxFrames && gCallbackNs[index] == 0) gCallbackNs[index] = nowNs();
    ++gCallbacks;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--sender") == 0) return senderMain(argc, argv);
    gSelf = selfPath();
    if (gSelf.empty()) return 1;
    const double trialSeconds = argc > 1 ? std::atof(argv[1]) : 1.0;

    ZelOrbInit();
    std::printf("c. highest lossless datagram rate (data type 1, format 10, %d datagrams a frame, %.1f s trials)\n",
                kPacketsPerFrame, trialSeconds);
    const double bare1 = highestLosslessRate([&](double r) { return bareTrial(r, false, trialSeconds); }, "recvfrom");
    const double bare2 = highestLosslessRate([&](double r) { return bareTrial(r, true, trialSeconds); }, kBatchName);

    const std::set<int> before = threadIds();
    if (ZelOrbStartReceiveData("127.0.0.1", kPort) != RC_OK) std::printf("  (control socket not opened)\n");
    for (int tid : threadIds())
        if (!before.count(tid)) gReceptionTid = tid;
    const double lib = highestLosslessRate([&](double r) { return libraryTrial(r, trialSeconds); }, "library");
    std::printf("  recvfrom loop  %9.0f datagrams/s\n", bare1);
    std::printf("  %-8s loop  %9.0f datagrams/s\n", kBatchName, bare2);
    std::printf("  library        %9.0f datagrams/s  ratio to recvfrom %.2f (target >= 0.9), to %s %.2f (stretch >= 0.9)\n",
                lib, lib / bare1, kBatchName, lib / bare2);

    const LibraryTrial at76k = libraryTrial(76200, 3.0);
    std::printf("  reception thread at %.0f datagrams/s: %.1f%% of a core (target <= 15%%), %s\n", at76k.rate,
                100 * at76k.receptionCpu, at76k.ok ? "lossless" : "LOSS");

    // d and e: 20 frames/s of format 10 with a frame callback.
    std::printf("d/e. 20 frames/s, format 10, 10 s\n");
    orb::DeviceRecord* dev = attachDevice();
    (void)dev;
    ZelOrbRegisterCallbackUpdateFrame(kDevice, onFrame);
    const std::string timingsPath =
        (std::filesystem::temp_directory_path() / ("bench_stream_e2e_timings_" + std::to_string(processId()))).string();
    const double cpu0 = processCpu();
    const auto t0 = Clock::now();
    const SenderResult sr = runSender(20, 10, 10, timingsPath);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu1 = processCpu();
    std::this_thread::sleep_for(100ms);
    detachDevice();

    std::map<std::uint64_t, std::pair<std::int64_t, std::int64_t>> sent;  // index -> first, last sent
    {
        std::ifstream f(timingsPath);
        std::uint64_t idx;
        std::int64_t a, b;
        while (f >> idx >> a >> b) sent[idx] = {a, b};
    }
    std::remove(timingsPath.c_str());
    std::vector<double> fromLast, fromClosing;
    for (const auto& [idx, t] : sent) {
        if (idx >= kMaxFrames || gCallbackNs[idx] == 0) continue;
        fromLast.push_back((gCallbackNs[idx] - t.second) / 1e6);
        auto next = sent.find(idx + 1);
        if (next != sent.end()) fromClosing.push_back((gCallbackNs[idx] - next->second.first) / 1e6);
    }
    std::printf("  frames sent %llu, callbacks %d\n", static_cast<unsigned long long>(sr.frames), gCallbacks.load());
    std::printf("  latency last datagram -> callback: median %.2f ms, p99 %.2f ms (target median <= 5 ms)\n",
                percentile(fromLast, 0.5), percentile(fromLast, 0.99));
    std::printf("  latency closing datagram -> callback: median %.2f ms, p99 %.2f ms\n", percentile(fromClosing, 0.5),
                percentile(fromClosing, 0.99));
    std::printf("  library CPU: %.1f%% of a core (target <= 10%%)\n", 100 * (cpu1 - cpu0) / wall);

    // f: a connected device that sends nothing, with the reception running.
    attachDevice();
    const double idle0 = processCpu();
    const auto i0 = Clock::now();
    std::this_thread::sleep_for(5s);
    const double idleWall = std::chrono::duration<double>(Clock::now() - i0).count();
    std::printf("f. idle connected device, 5 s: library CPU %.3f%% of a core\n", 100 * (processCpu() - idle0) / idleWall);
    detachDevice();
    ZelOrbStopReceiveData();
    return 0;
}
