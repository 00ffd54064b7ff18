// The camera's colour camera: a test pattern encoded as JPEG (OpenCV) or raw
// NV12, cut into fragments and sent to the handshake's host data port, at a
// chosen rate, with optional faults.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "platform/net.h"
#include "settings_store.h"
#include "wire_sim.h"

namespace orbsim {

constexpr int kRgbWidth = 1600;
constexpr int kRgbHeight = 1200;
constexpr std::uint8_t kRgbJpeg = 0;
constexpr std::uint8_t kRgbNv12 = 2;

// The test pattern (R, G, B, 1200 x 1600): four quadrants of distinct
// colours with a centre block of a fifth, so any flip shows. Blocks are large
// and flat so that JPEG and NV12 keep them within a few levels.
cv::Mat makeTestPattern();
// Colour of the pattern at (row, col) of the unrotated image.
cv::Vec3b testPatternColor(int row, int col);
constexpr int kPatternCentreHalfWidth = 200;   // centre block: cols 600..999
constexpr int kPatternCentreHalfHeight = 150;  // rows 450..749

wire::Bytes encodeJpeg(const cv::Mat& rgb, int quality = 90);
// 1600 x 1200 luma, then 800 x 600 interleaved U, V pairs: 2,880,000 bytes.
wire::Bytes encodeNv12(const cv::Mat& rgb);

struct FragmentHeader {
    std::uint32_t word = 0x01020304;
    std::uint8_t bytes12to14[3] = {0, 0, 0};
    std::uint8_t format = kRgbJpeg;
    std::uint16_t total = 1;
    std::uint16_t index = 1;
    std::uint32_t frameId = 0;
    std::uint64_t seconds = 0;  // 48 bits go on the wire
    std::uint32_t microseconds = 0;
};

// 55 AA 5A A5 | word BE | N BE | 3 bytes | format | total BE | index BE |
// frame id BE | seconds (6, LE) | microseconds LE | N payload | AA 55 A5 5A.
void appendFragment(wire::Bytes& out, const FragmentHeader& h, const std::uint8_t* payload, std::size_t n,
                    bool wrongTail = false);

struct RgbFaults {
    std::size_t garbageBeforeHead = 0;  // bytes before the first fragment's head
    int wrongTailFragment = -1;         // 1-based index whose tail magic is wrong
    int dropFragment = -1;              // 1-based index never sent
    bool reorder = false;               // swap the last two fragments
    int truncateFragment = -1;          // 1-based index whose datagram loses its last 10 bytes
    int changeIdFrom = -1;              // 1-based index from which the frame id is one higher
    bool pairs = false;                 // two fragments per datagram
};

// Datagrams of one frame cut into pieces of at most maxPayload bytes; the
// fragment index runs 1..total.
std::vector<wire::Bytes> fragmentFrame(const wire::Bytes& frame, std::uint8_t format, std::uint32_t frameId,
                                       std::uint64_t seconds, std::uint32_t microseconds, std::size_t maxPayload,
                                       const RgbFaults& faults = {});

struct RgbSenderOptions {
    double rateHz = 10.0;  // 0: nothing sent on its own; use sendFrame
    std::uint8_t format = kRgbJpeg;
    std::size_t maxPayload = 60000;
    int jpegQuality = 90;
};

class RgbSender {
public:
    RgbSender(std::shared_ptr<SettingsStore> store, RgbSenderOptions options = {});
    ~RgbSender();
    RgbSender(const RgbSender&) = delete;
    RgbSender& operator=(const RgbSender&) = delete;

    bool start(std::string* error = nullptr);
    void stop();

    // Sends frame frameId of the test pattern (timestamp: frameId seconds,
    // frameId * 10 microseconds) with the current format and faults. False
    // before a handshake or when a send fails.
    bool sendFrame(std::uint32_t frameId);
    bool sendFrameBytes(const wire::Bytes& frame, std::uint8_t format, std::uint32_t frameId);
    bool sendDatagrams(const std::vector<wire::Bytes>& datagrams);

    void setFaults(const RgbFaults& f);
    void setFormat(std::uint8_t format);
    void setRate(double hz) { rateHz_.store(hz); }
    std::uint64_t framesSent() const { return framesSent_.load(); }

private:
    void run();
    const wire::Bytes& encoded(std::uint8_t format);  // under mutex_

    std::shared_ptr<SettingsStore> store_;
    std::mutex mutex_;  // options, faults, encoded frames, socket
    RgbSenderOptions options_;
    RgbFaults faults_;
    wire::Bytes jpeg_, nv12_;
    orb::net::Socket sock_;
    std::atomic<double> rateHz_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> framesSent_{0};
    std::thread thread_;
};

}  // namespace orbsim
