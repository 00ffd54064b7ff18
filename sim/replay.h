// Replays a capture file as live cameras: every camera found in it gets a
// virtual camera on a loopback address (command responder and control
// server, answering with the settings the captured replies show, else the
// simulator's defaults), and its datagrams are sent again from that address
// with the recorded timing: point-cloud and six-axis packets to the host
// port, nine-axis IMU and RGB fragments to the ports the library announces
// when it connects. Recorded command replies are not sent: the responder
// answers the library's own commands.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera.h"
#include "capture_reader.h"

namespace orbsim {

struct ReplayOptions {
    std::string path;
    double speed = 1.0;     // recorded pauses are divided by this
    bool maxRate = false;   // no pauses at all
    bool loop = false;      // start over at the end, until stopped
    // Recorded camera address -> loopback address to replay it from. Empty:
    // cameras are found in the capture; loopback addresses are kept, others
    // get 127.0.0.2 and up.
    std::map<std::string, std::string> cameras;
    std::string hostIp = "127.0.0.1";  // where point-cloud packets go
    std::uint16_t hostPort = 0;         // 0: the recorded destination port
    // Hold the datagrams back until the library connects to one of the
    // cameras (its handshake), so that it sees the capture from the start.
    bool waitForConnection = true;
    bool controlServer = true;
};

struct ReplayCamera {
    std::string recordedIp, replayIp;
    std::uint64_t pointCloud = 0, imu = 0, rgb = 0, replies = 0;
    std::uint16_t sourcePort = 0;  // of its first point-cloud packet (the library checks it)
    std::size_t settings = 0;  // getter replies whose payload the responder now answers with
};

struct ReplaySummary {
    std::uint64_t records = 0;
    SkipCounts skipped{};
    std::uint64_t otherHosts = 0;     // datagrams not from a camera
    std::uint64_t notReplayed = 0;    // camera datagrams of no replayed kind (announcements...)
    std::vector<ReplayCamera> cameras;
    std::string damage;               // why reading stopped early, when it did
    std::string text(const std::string& path) const;
};

struct ReplayCounts {
    std::uint64_t pointCloud = 0, imu = 0, rgb = 0;
    std::uint64_t unsent = 0;  // IMU/RGB before any connection told where to send, or send errors
    std::uint64_t passes = 0;  // completed passes over the capture
    double seconds = 0;        // sending so far: from the connection (or start) to the end
};

class Replay {
public:
    explicit Replay(ReplayOptions options);
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    // Reads the capture once: finds the cameras and their settings. False
    // with a message when it cannot be read or holds no camera traffic.
    bool load(std::string* error);
    const ReplaySummary& summary() const { return summary_; }

    // Starts the virtual cameras and the sending thread (after load()).
    bool start(std::string* error);
    void stop();
    // True once every pass is sent (never while looping).
    bool finished() const { return finished_.load(); }
    bool waitFinished(int timeoutMs) const;

    ReplayCounts counts() const;
    const std::vector<std::unique_ptr<Camera>>& cameras() const { return cameras_; }

private:
    enum class Kind : std::uint8_t { PointCloud, Imu, Rgb, Command, Other, NotCamera };
    struct Source;
    struct Sender;

    Kind sendKind(const CapturedDatagram& d) const;
    void run();
    bool sendPass();
    void send(const CapturedDatagram& d, Kind k);

    ReplayOptions options_;
    ReplaySummary summary_;
    // Recorded camera address (network order) -> index into cameras_.
    std::map<std::uint32_t, std::size_t> cameraIndex_;
    // Per camera: destination ports of its IMU stream (the rest of its
    // side traffic is RGB).
    std::vector<std::vector<std::uint16_t>> imuPorts_;
    std::vector<std::unique_ptr<Camera>> cameras_;
    std::map<std::pair<std::size_t, std::uint16_t>, std::unique_ptr<Sender>> senders_;

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<std::uint64_t> pointCloud_{0}, imu_{0}, rgb_{0}, unsent_{0}, passes_{0};
    std::atomic<std::int64_t> sendingFromNs_{0}, sendingToNs_{0};  // steady clock; 0: not yet
};

}  // namespace orbsim
