// The viewer's side of one camera: connection through the library's C
// interface (or the built-in simulator), the threads that take its frames,
// RGB images and IMU samples, and the settings the panels change. Slow calls
// run on the task runner; the UI thread only takes snapshots.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orb_sdk.h"
#include "task_runner.h"

namespace orbsim {
class Scene;
}
namespace orbclient {
class BuiltInSimulator;
}

namespace orbviewer {

struct Endpoint {
    std::string ip;      // the camera
    std::string hostIp;  // this host's address on the camera's network
    std::uint16_t hostPort = 6001;
    std::uint16_t sourcePort = 6301;
};

struct FoundCamera {
    std::string ip, hostIp;
    bool passive = false;
    std::uint16_t lidarPort = 0, hostPort = 0;
};

struct DeviceFacts {
    std::string serial, type, version1, version2;
    bool rgbPresent = false, rgbRotated = false;
};

// What the panels show of the connection, copied under the session's lock.
struct SessionStatus {
    bool connected = false;
    Endpoint endpoint;
    bool simulator = false;
    DeviceFacts facts;
    bool netInfoValid = false;
    ZelOrbNetInfo netInfo{};
    std::vector<FoundCamera> found;
    bool fusionReady = false;
    std::int32_t lastFusionResult = RC_OK;
    bool undistortion = false;
    std::chrono::steady_clock::time_point connectedAt, lastFrameAt;
    std::uint64_t connection = 0;  // counts connections made
};

// A frame as drawn: one or two echoes, optional fusion colours, and the
// number the viewer gave it among the frames the library published.
struct FrameBundle {
    std::vector<ZelOrbPointData> first, second;
    bool dual = false;
    std::vector<std::uint8_t> colours;  // 3 bytes per point when hasColours
    bool hasColours = false;
    std::uint64_t seq = 0;
};

struct RgbImage {
    int width = 0, height = 0;
    std::vector<std::uint8_t> pixels;  // R, G, B rows
    std::uint64_t seq = 0;
};

// Samples over time (seconds on the viewer's clock) of a fixed number of channels.
struct Series {
    std::deque<double> t;
    std::vector<std::deque<float>> values;
    void push(double when, const float* v, std::size_t n, double keepSeconds);
};

struct AngleSample {
    double t;
    float angle;
    bool ok;
    std::string message;  // the library's text when not ok
};

class Session {
public:
    explicit Session(MessageLog& log);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // --- requests; each runs on the task runner and reports to the log
    void findCameras(const std::string& localIpForPassive);
    void connect(const Endpoint& e);
    // Finds a camera, else starts the built-in simulator (as the sample client does).
    void connectFirstFound(const Endpoint& defaults, std::shared_ptr<const orbsim::Scene> scene);
    void startSimulator(const Endpoint& defaults, std::shared_ptr<const orbsim::Scene> scene);
    void disconnect();
    void readNetInfo();
    void writeNetInfo(const ZelOrbNetInfo& info);
    void setEchoMode(int mode);
    void setUndistortion(bool on);
    void setDistanceWindow(bool on, std::uint32_t min, std::uint32_t max);
    void setDistanceCompensation(bool on);
    void setIntensityFilter(bool on, std::vector<double> distances, std::vector<double> intensities);
    void setSpatialFilter(bool on, int size);
    void setTimeMedianFilter(bool on, int count, int threshold);
    void setFlyingFilter(bool on, int threshold);
    void setAngleMeasure(bool on, const AngleMeasureParams& p);
    // Saves what is given (empty path: skip) with the shared export writers.
    void save(std::shared_ptr<const FrameBundle> frame, std::shared_ptr<const RgbImage> rgb, const std::string& ply,
              const std::string& depth, const std::string& intensity, const std::string& rgbPng);
    // Fusion colours for each frame (costs a copy per frame; off when not shown).
    void wantColours(bool on) { wantColours_ = on; }
    // Called on the session's thread after each new frame (to wake the window).
    // Set before connecting.
    void onNewFrame(std::function<void()> listener) { frameListener_ = std::move(listener); }

    // --- for the UI thread
    std::string busyWith() const { return tasks_.busyWith(); }
    // Seconds since the session started: the time axis of the IMU and angle series.
    double now() const;
    SessionStatus status() const;
    // Swaps in the newest frame if it is newer than `into`; counts the frames
    // published since the last one taken that were never drawn.
    bool takeFrame(FrameBundle& into);
    bool takeRgb(RgbImage& into);
    void imuSeries(Series& nine, Series& six) const;
    std::vector<AngleSample> angles() const;

    struct Counts {
        std::uint64_t published = 0, drawn = 0, notDrawn = 0, rgb = 0, imu = 0, sixAxis = 0;
    };
    Counts counts() const;
    // The connected camera's stream statistics; false when none is connected.
    bool streamStatistics(ZelOrbStreamStatistics& out) const;

    // Drops queued requests, waits for the running one, then stops the
    // streams, disconnects, stops reception and the simulator.
    void shutdown();

    static constexpr double kImuWindowSeconds = 10.0;
    static constexpr double kAngleWindowSeconds = 30.0;

private:
    void doConnect(const Endpoint& e);
    void doDisconnect();
    void doStartSimulator(const Endpoint& defaults, std::shared_ptr<const orbsim::Scene> scene);
    bool doFindActive(std::vector<FoundCamera>& out);
    void startThreads(const std::string& ip);
    void stopThreads();
    void pumpFrames(std::string ip);
    void pollRgb(std::string ip);
    void pollImu(std::string ip);
    std::string connectedIp() const;
    // Posts a call on the connected camera; logs when none is connected.
    void onCamera(const std::string& label, std::string key, std::function<void(const std::string& ip)> call);
    void filterCall(const char* name, const char* key, std::function<std::int32_t(const char* ip)> call);

    static void onFrame(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]);
    static void onSixAxis(ZelOrb6AxisImuData data);
    static std::atomic<Session*> active_;

    MessageLog& log_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

    mutable std::mutex statusMutex_;
    SessionStatus status_;
    bool receiving_ = false;
    Endpoint receivingOn_;
    std::unique_ptr<orbclient::BuiltInSimulator> simulator_;

    // Frames from the callback (single echo) wait here for the pump thread.
    std::mutex callbackMutex_;
    std::condition_variable callbackCv_;
    std::vector<ZelOrbPointData> callbackFrame_;
    std::uint64_t callbackSeq_ = 0;

    mutable std::mutex frameMutex_;
    FrameBundle latest_;
    std::uint64_t lastTakenSeq_ = 0;

    mutable std::mutex rgbMutex_;
    RgbImage rgb_;

    mutable std::mutex imuMutex_;
    Series nine_, six_;
    std::deque<AngleSample> angles_;

    std::function<void()> frameListener_;
    std::atomic<bool> wantColours_{false};
    std::atomic<bool> angleOn_{false};
    std::atomic<bool> fusionReady_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<std::uint64_t> published_{0}, drawn_{0}, notDrawn_{0}, rgbCount_{0}, imuCount_{0}, sixCount_{0};
    std::thread pump_, rgbThread_, imuThread_;

    TaskRunner tasks_;  // last: its thread ends before the members it uses
};

}  // namespace orbviewer
