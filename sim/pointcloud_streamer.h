// The virtual camera's point-cloud stream: renders a scene per frame, packs it
// into data packets (full frames, half-height frames, dual-echo frames) in one
// of the record formats, and sends them over UDP at a frame rate, with
// optional six-axis IMU packets and injected faults. Everything sent can be
// looked up afterwards (frame index -> the points the library should decode).
//
// Packet layout written here (little-endian): magic 5A A5 at 0, data type at
// 3, version_minor at 6, packet number at 7, tag at 11, start column at 12,
// start row at 14, count factors A at 16 (u16) and B at 19 (u8), format
// selector at 18, timestamp at 37 (u64), records from 45.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "scene.h"
#include "settings_store.h"

namespace orbsim {

constexpr std::size_t kMaxDatagramBytes = 1472;
constexpr std::size_t kDataHeaderBytes = 45;
constexpr const char* kDataMulticastGroup = "224.0.0.200";

struct FaultOptions {
    // Probabilities per data packet.
    double loss = 0;       // not sent
    double duplicate = 0;  // sent twice in a row
    double reorder = 0;    // swapped with the packet after it
    double truncate = 0;   // cut to a random shorter length (at least 1 byte)
    double badMagic = 0;   // magic bytes corrupted
    double badVersion = 0; // version_minor set to 1
    std::uint32_t seed = 1;
};

struct StreamerOptions {
    std::string deviceIp = "127.0.0.2";  // source address
    std::uint16_t sourcePort = 6301;
    std::string hostIp = "127.0.0.1";    // destination of unicast
    std::uint16_t hostPort = 6001;
    bool multicast = false;              // send to 224.0.0.200 instead
    double frameRate = 20.0;
    // Data type in device mode 0: 1 (full frame), 12, 14 (half height), 13
    // (dual echo). Device mode 1 always sends 13.
    std::uint8_t dataType = 1;
    // Record size of data type 1 frames: 4, 8, 10 or 22 (the others use 10).
    std::uint8_t pointFormat = 10;
    // Spread the packets of a frame over the frame period, as a scanning
    // sensor does; otherwise each frame goes out as one burst.
    bool paceWithinFrame = true;
    double sixAxisRate = 0;        // six-axis packets per second; 0: none
    std::uint8_t sixAxisCheck = 1; // check byte (1 or 2 accepted by the host)
    std::uint64_t maxFrames = 0;   // stop after this many frames; 0: unlimited
    // The scene does not change: render and pack it once, then only patch
    // the tag and timestamp of each frame (for high frame rates).
    bool staticScene = false;
    std::size_t keepFrames = 8;    // frames whose expected points are kept; 0: none
    FaultOptions faults;
};

// What one record should decode to (before the host's axis sign, inversion
// and filters). Grid rows/columns are those of the data type: 150 x 360 for
// type 1, 75 x 180 for 12, 75 x 360 for 13 and 14.
struct ExpectedPoint {
    std::uint16_t row = 0;
    std::uint16_t column = 0;
    float distance = 0;  // 0 in format 8
    std::uint32_t intensity = 0;
    float x = 0, y = 0, z = 0;  // 0 in format 4
    bool delivered = false;     // its datagram went out intact (or cut after it)
};

enum PacketFate : std::uint8_t {
    kFateSent = 0,
    kFateLost = 1,
    kFateDuplicated = 2,
    kFateReordered = 4,
    kFateTruncated = 8,
    kFateBadMagic = 16,
    kFateBadVersion = 32,
};

struct SentFrame {
    std::uint64_t index = 0;
    std::uint8_t dataType = 1;
    std::uint8_t format = 10;
    std::uint8_t tag = 0;
    std::uint64_t timestamp = 0;
    int gridRows = 0, gridCols = 0;
    std::vector<ExpectedPoint> first;   // gridRows * gridCols
    std::vector<ExpectedPoint> second;  // dual echo only
    std::vector<std::uint8_t> packetFates;
    std::chrono::steady_clock::time_point firstSent, lastSent;
};

struct FrameTiming {
    std::uint64_t index = 0;
    std::uint64_t timestamp = 0;
    std::uint32_t packets = 0;
    std::chrono::steady_clock::time_point firstSent, lastSent;
};

// A frame packed into datagrams.
struct EncodedFrame {
    std::vector<std::vector<std::uint8_t>> packets;
    SentFrame expected;  // points filled; fates all kFateSent
};

// Packs a rendered scene. Tag = frame index mod 256. Pure: no sockets.
EncodedFrame encodeFrame(const SceneFrame& scene, std::uint8_t dataType, std::uint8_t pointFormat,
                         std::uint64_t frameIndex, std::uint64_t timestamp);
// A six-axis packet (46 bytes): check byte at 8, the device's timestamp at 12,
// 26 data bytes from 20.
std::vector<std::uint8_t> encodeSixAxis(std::uint8_t check, std::uint64_t deviceTimestamp,
                                        const std::uint8_t* data26);
// Records that fit one datagram for a data type and format (whole rows of the
// packet's column group).
std::uint32_t recordsPerPacket(std::uint8_t dataType, std::uint8_t pointFormat);

class PointCloudStreamer {
public:
    // store: the camera's settings (device mode 1 switches to dual echo); may be null.
    PointCloudStreamer(StreamerOptions options, ScenePtr scene, std::shared_ptr<SettingsStore> store = nullptr);
    ~PointCloudStreamer();
    PointCloudStreamer(const PointCloudStreamer&) = delete;
    PointCloudStreamer& operator=(const PointCloudStreamer&) = delete;

    // Opens the socket and starts streaming frames 0, 1, 2, ...
    bool start(std::string* error = nullptr);
    void stop();
    bool running() const { return running_.load(); }

    // Without the thread: opens the socket if needed and sends frame index
    // now, as one burst (faults applied). For deterministic tests.
    bool sendFrameNow(std::uint64_t frameIndex, std::string* error = nullptr);
    // Sends raw bytes from the streamer's socket (malformed-datagram tests).
    bool sendRaw(const std::vector<std::uint8_t>& datagram);

    std::uint64_t framesSent() const { return framesSent_.load(); }
    std::uint64_t packetsSent() const { return packetsSent_.load(); }
    std::uint64_t sixAxisSent() const { return sixAxisSent_.load(); }
    // Waits until framesSent() >= n or the time-out passes.
    bool waitFramesSent(std::uint64_t n, std::chrono::milliseconds timeout) const;

    // The frame sent with this index, while among the last keepFrames.
    std::shared_ptr<const SentFrame> sentFrame(std::uint64_t index) const;
    // Frame timings (the most recent 65,536 frames).
    std::vector<FrameTiming> timings() const;
    const StreamerOptions& options() const { return options_; }

private:
    bool openSocket(std::string* error);
    void closeSocket();
    void run();
    // Builds (or takes from the cache) the datagrams of a frame.
    std::shared_ptr<const EncodedFrame> frameFor(std::uint64_t frameIndex);
    // Sends one frame; pace: spread over period from start. Six-axis packets
    // due meanwhile are interleaved.
    void sendFrame(std::uint64_t frameIndex, bool pace, std::chrono::steady_clock::time_point start,
                   std::chrono::steady_clock::duration period);
    void sendDueSixAxis(std::chrono::steady_clock::time_point now);
    bool sendDatagram(const std::uint8_t* d, std::size_t n);

    StreamerOptions options_;
    ScenePtr scene_;
    std::shared_ptr<SettingsStore> store_;
    orb::net::Socket sock_ = orb::net::kInvalidSocket;
    orb::net::Endpoint dest_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    std::mutex sendMutex_;  // one sender at a time (thread or sendFrameNow)
    std::mt19937 rng_;
    SceneFrame render_;
    std::shared_ptr<EncodedFrame> cached_;
    std::uint8_t cachedType_ = 0;
    std::chrono::steady_clock::time_point nextSixAxis_;
    std::uint64_t sixAxisCount_ = 0;

    std::atomic<std::uint64_t> framesSent_{0};
    std::atomic<std::uint64_t> packetsSent_{0};
    std::atomic<std::uint64_t> sixAxisSent_{0};
    mutable std::mutex logMutex_;
    std::deque<std::shared_ptr<const SentFrame>> sent_;
    std::deque<FrameTiming> timings_;
};

}  // namespace orbsim
