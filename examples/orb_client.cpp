// Sample client: finds a camera (or starts the built-in simulator), connects,
// starts the point-cloud, RGB and IMU streams, polls them on three threads and
// prints one line of counts per second.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/client_args.h"
#include "client/export.h"
#include "client/simulator_launch.h"
#include "client/stream_health.h"
#include "orb_sdk.h"

namespace {

std::atomic<bool> gStop{false};

void onSignal(int) { gStop = true; }

struct Counters {
    std::atomic<long> frames{0};
    std::atomic<long> points{0};  // non-empty points of the last frame
    std::atomic<long> rgb{0};
    std::atomic<long> imu{0};
};

using Frame = std::vector<ZelOrbPointData>;

long countPoints(const Frame& f) {
    long n = 0;
    for (const auto& p : f) n += (p.x != 0.0f || p.y != 0.0f || p.z != 0.0f) ? 1 : 0;
    return n;
}

AngleMeasureParams angleParams() {
    // Box and tolerances that suit a wall a few metres ahead of the camera.
    AngleMeasureParams p{};
    p.xLower = -200;
    p.xUpper = 200;
    p.yLower = -50;
    p.yUpper = 50;
    p.secondWindowWidth = 50;
    p.windowShift = 10;
    p.sliceHeight = 10;
    p.rangeMax = 400;
    p.rangeMin = 20;
    p.minSlicePoints = 30;
    p.angleTolerance = 30.0f;
    p.steepAngle = 45.0f;
    p.fullSearchAngle = 30.0f;
    return p;
}

bool saveFrameOutputs(const orbclient::ClientOptions& o, const std::string& ip, Frame& frame) {
    bool ok = true;
    if (!o.savePly.empty()) {
        std::vector<std::uint8_t> colours;
        if (o.fusion) {
            colours.assign(3 * ZEL_ORB_FRAME_POINTS, 0);
            ZelOrbRgbData rec{};
            rec.data = colours.data();
            int rc = ZelOrbGetRGBDFusionData(ip.c_str(), &rec);
            if (rc != RC_OK) {
                std::printf("RGB-D fusion not available yet (%s); saving without colour\n", ZelOrbReturnCodeToString(rc));
                colours.clear();
            }
        }
        long n = orbclient::writePly(o.savePly, frame.data(), colours.empty() ? nullptr : colours.data());
        if (n < 0) {
            std::printf("could not write %s\n", o.savePly.c_str());
            ok = false;
        } else {
            std::printf("saved %ld points to %s\n", n, o.savePly.c_str());
        }
    }
    if (!o.saveDepthPng.empty()) {
        bool w = orbclient::writeDepthPng(o.saveDepthPng, frame.data());
        std::printf(w ? "saved depth image to %s\n" : "could not write %s\n", o.saveDepthPng.c_str());
        ok = ok && w;
    }
    if (!o.saveIntensityPng.empty()) {
        bool w = orbclient::writeIntensityPng(o.saveIntensityPng, frame.data());
        std::printf(w ? "saved intensity image to %s\n" : "could not write %s\n", o.saveIntensityPng.c_str());
        ok = ok && w;
    }
    return ok;
}

// Finds a camera by active discovery; fills ip and the host address it answered on.
bool discover(std::string& ip, std::string& hostIp) {
    std::printf("Searching for cameras on the local network (about 2 s)...\n");
    std::fflush(stdout);
    ZelOrbFoundDevice found[16];
    std::memset(found, 0, sizeof found);
    int32_t count = -1;
    if (!ZelOrbActiveFindDevice(found, 16, &count) || count <= 0) return false;
    for (int i = 0; i < count; ++i) std::printf("  found camera %s (from host address %s)\n", found[i].dev_ip, found[i].host_ip);
    ip = found[0].dev_ip;
    hostIp = found[0].host_ip;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    orbclient::ClientOptions o;
    std::string error;
    if (!orbclient::parseClientArgs(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
        std::fprintf(stderr, "orb-client: %s\n\n%s", error.c_str(), orbclient::clientUsage().c_str());
        return 2;
    }
    if (o.help) {
        std::printf("%s", orbclient::clientUsage().c_str());
        return 0;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    if (ZelOrbInit() != 0) {
        std::fprintf(stderr, "orb-client: the socket interface could not be started\n");
        return 1;
    }

    if (!o.recordPath.empty()) {
        const int rc = ZelOrbStartRecording(o.recordPath.c_str());
        std::printf("ZelOrbStartRecording(%s): %s\n", o.recordPath.c_str(), ZelOrbReturnCodeToString(rc));
        if (rc != RC_OK) {
            ZelOrbDeinit();
            return 1;
        }
    }

    std::unique_ptr<orbclient::BuiltInSimulator> sim;
    std::string ip = o.cameraIp;
    std::string hostIp = o.hostIp;
    if (!o.replayPath.empty()) {
        hostIp = "127.0.0.1";
        sim = orbclient::startReplaySimulator(o.replayPath, hostIp, o.hostPort, ip, o.sourcePort, error);
        if (!sim) {
            std::fprintf(stderr, "orb-client: cannot replay %s\n", error.c_str());
            if (!o.recordPath.empty()) ZelOrbStopRecording();
            ZelOrbDeinit();
            return 1;
        }
    } else if (ip.empty() && !o.forceSimulator) {
        std::string foundHost;
        if (discover(ip, foundHost)) {
            if (hostIp.empty()) hostIp = foundHost;
        } else {
            std::printf("No camera answered.\n");
        }
    }
    if (ip.empty()) {
        ip = "127.0.0.2";
        hostIp = "127.0.0.1";
        std::printf("Starting the built-in simulator: virtual camera %s streaming to %s:%u\n", ip.c_str(),
                    hostIp.c_str(), o.hostPort);
        sim = orbclient::startBuiltInSimulator(ip, hostIp, o.hostPort, o.sourcePort, error);
        if (!sim) {
            std::fprintf(stderr, "orb-client: the simulator could not start: %s\n", error.c_str());
            ZelOrbDeinit();
            return 1;
        }
    }
    if (hostIp.empty()) hostIp = "0.0.0.0";

    int rc = ZelOrbStartReceiveData(hostIp.c_str(), o.hostPort);
    std::printf("ZelOrbStartReceiveData(%s, %u): %s\n", hostIp.c_str(), o.hostPort, ZelOrbReturnCodeToString(rc));
    if (rc != RC_OK && rc != RC_GENERAL_ERROR) {
        ZelOrbDeinit();
        return 1;
    }
    rc = ZelOrbConnectDevice(ip.c_str(), o.sourcePort);
    std::printf("ZelOrbConnectDevice(%s, %u): %s\n", ip.c_str(), o.sourcePort, ZelOrbReturnCodeToString(rc));
    if (rc == RC_OK || rc == RC_DEVICE_EXISTS) {
        char serial[64] = {0}, type[64] = {0}, fw1[32] = {0}, fw2[32] = {0};
        if (ZelOrbGetDeviceSerialNumber(ip.c_str(), reinterpret_cast<uint8_t*>(serial), sizeof serial) == 0)
            std::printf("  serial number:    %s\n", serial);
        if (ZelOrbGetDeviceType(ip.c_str(), reinterpret_cast<uint8_t*>(type), sizeof type) == 0)
            std::printf("  device type:      %s\n", type);
        if (ZelOrbGetDeviceSoftwareVersion(ip.c_str(), fw1, fw2, sizeof fw1) == 0)
            std::printf("  software version: %s / %s\n", fw1, fw2);
        std::printf("  RGB camera:       %s, rotated: %s\n", ZelGetDeviceRgbEnabled(ip.c_str()) ? "on" : "off",
                    ZelGetDeviceRgbRotation(ip.c_str()) ? "yes" : "no");
    }
    if (o.deviceMode >= 0) {
        rc = ZelOrbSetDeviceMode(ip.c_str(), o.deviceMode);
        std::printf("ZelOrbSetDeviceMode(%d): %s\n", o.deviceMode, ZelOrbReturnCodeToString(rc));
    }
    if (o.rgb) {
        rc = ZelOrbStartDeviceRgbStream(ip.c_str());
        if (rc != RC_OK) std::printf("RGB stream: %s\n", ZelOrbReturnCodeToString(rc));
    }
    if (o.imu) {
        rc = ZelOrbStartDevice9AxisImuStream(ip.c_str());
        if (rc != RC_OK) std::printf("IMU stream: %s\n", ZelOrbReturnCodeToString(rc));
    }
    if (o.fusion) {
        rc = ZelOrbInitRGBDFusionParam(ip.c_str());
        std::printf("ZelOrbInitRGBDFusionParam: %s\n", ZelOrbReturnCodeToString(rc));
    }
    const AngleMeasureParams angleSettings = angleParams();
    if (o.angle) ZelOrbEnableAngleMeasure(true, &angleSettings);

    Counters counters;
    std::atomic<bool> frameSaved{o.savePly.empty() && o.saveDepthPng.empty() && o.saveIntensityPng.empty()};
    std::atomic<bool> rgbSaved{o.saveRgbPng.empty()};
    std::mutex angleMutex;
    float lastAngle = 0.0f;
    std::string lastAngleText = "-";
    bool dual = o.deviceMode == 1;

    std::thread frames([&] {
        Frame frame(ZEL_ORB_FRAME_POINTS), second(ZEL_ORB_FRAME_POINTS);
        auto* rows = reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(frame.data());
        auto* rows2 = reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(second.data());
        while (!gStop) {
            int r = dual ? ZelOrbGetDualEchoPointCloud(ip.c_str(), rows, rows2) : ZelOrbGetPointCloud(ip.c_str(), rows);
            if (r != RC_OK) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            counters.frames++;
            counters.points = countPoints(frame);
            if (o.angle) {
                float a = 0.0f;
                AngleResult ar = ZelOrbGetPlaneAngle(frame.data(), &a);
                std::lock_guard<std::mutex> lk(angleMutex);
                lastAngle = a;
                lastAngleText = ar.code == 0 ? "" : ar.message;
            }
            if (!frameSaved.exchange(true)) saveFrameOutputs(o, ip, frame);
        }
    });
    std::thread rgbThread([&] {
        while (!gStop && o.rgb) {
            ZelOrbRgbData img{};
            if (ZelOrbGetRgb(ip.c_str(), &img) != RC_OK) continue;  // waits up to 200 ms
            counters.rgb++;
            if (!rgbSaved.exchange(true)) {
                bool w = orbclient::writeRgbPng(o.saveRgbPng, img);
                std::printf(w ? "saved RGB image to %s\n" : "could not write %s\n", o.saveRgbPng.c_str());
            }
        }
    });
    std::thread imuThread([&] {
        while (!gStop && o.imu) {
            ZelOrb9AxisImuData s{};
            if (ZelOrbGet9AxisImu(ip.c_str(), &s) == RC_OK) counters.imu++;  // waits up to 20 ms
        }
    });

    auto start = std::chrono::steady_clock::now();
    long lastFrames = 0, lastRgb = 0, lastImu = 0;
    ZelOrbStreamStatistics lastStats{};
    lastStats.size = sizeof lastStats;
    ZelOrbGetStreamStatistics(ip.c_str(), &lastStats);
    for (int second = 1; !gStop; ++second) {
        auto next = start + std::chrono::seconds(second);
        while (!gStop && std::chrono::steady_clock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (gStop) break;
        long f = counters.frames, r = counters.rgb, m = counters.imu;
        std::printf("[%3ds] frames/s %3ld  points/frame %5ld  rgb/s %3ld  imu/s %4ld", second, f - lastFrames,
                    counters.points.load(), r - lastRgb, m - lastImu);
        if (o.angle) {
            std::lock_guard<std::mutex> lk(angleMutex);
            if (lastAngleText.empty())
                std::printf("  angle %6.2f deg", lastAngle);
            else
                std::printf("  angle: %s", lastAngleText.c_str());
        }
        ZelOrbStreamStatistics stats{};
        stats.size = sizeof stats;
        const bool haveStats = ZelOrbGetStreamStatistics(ip.c_str(), &stats) == RC_OK;
        if (haveStats) std::printf("%s", orbclient::dropSummary(lastStats, stats).c_str());
        std::printf("\n");
        // The first second shows the camera's rate: warn once if the socket
        // cannot hold a second of it.
        if (haveStats && second == 1)
            std::printf("%s", orbclient::receiveBufferWarning(stats.receive_buffer_bytes,
                                                              static_cast<double>(stats.datagrams - lastStats.datagrams))
                                  .c_str());
        if (haveStats) lastStats = stats;
        std::fflush(stdout);
        lastFrames = f;
        lastRgb = r;
        lastImu = m;
        if (o.seconds > 0 && second >= o.seconds) gStop = true;
        if (sim && sim->finished()) {
            std::printf("The capture has been replayed.\n");
            gStop = true;
        }
    }
    frames.join();
    rgbThread.join();
    imuThread.join();

    if (o.rgb) ZelOrbStopDeviceRgbStream(ip.c_str());
    if (o.imu) ZelOrbStopDevice9AxisImuStream(ip.c_str());
    if (o.angle) ZelOrbEnableAngleMeasure(false, &angleSettings);
    ZelOrbDisconnectDevice(ip.c_str());
    ZelOrbStopReceiveData();
    sim.reset();
    if (!o.recordPath.empty()) {
        const int rc = ZelOrbStopRecording();
        std::printf("ZelOrbStopRecording: %s\n", ZelOrbReturnCodeToString(rc));
    }
    ZelOrbDeinit();
    std::printf("Stopped: %ld frames, %ld RGB images, %ld IMU samples.\n", counters.frames.load(), counters.rgb.load(),
                counters.imu.load());
    return 0;
}
