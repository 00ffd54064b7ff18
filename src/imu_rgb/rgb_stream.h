// RGB stream: fragment reassembly, decoding, rotation, undistortion and
// publication of the newest image.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "orb_sdk.h"

namespace orb {

struct DeviceRecord;

constexpr int kRgbWidth = 1600;
constexpr int kRgbHeight = 1200;
constexpr std::size_t kRgbImageBytes = std::size_t{kRgbWidth} * kRgbHeight * 3;
constexpr std::size_t kNv12FrameBytes = std::size_t{kRgbWidth} * kRgbHeight * 3 / 2;
// A frame growing past this is dropped, so a stream of bad fragments cannot
// make the library allocate without limit.
constexpr std::size_t kMaxRgbFrameBytes = std::size_t{16} << 20;
constexpr std::size_t kRgbMinDatagram = 50;
constexpr std::uint8_t kRgbFormatJpeg = 0;
constexpr std::uint8_t kRgbFormatNv12 = 2;

struct RgbFragmentHeader {
    std::uint32_t word = 0;        // first header word, kept
    std::uint32_t length = 0;      // payload length of this fragment
    std::uint8_t bytes[4] = {};    // header bytes 12..15; [3] is the image format
    std::uint16_t total = 0;
    std::uint16_t index = 0;
    std::uint32_t frameId = 0;
    std::uint64_t seconds = 0;
    std::uint32_t microseconds = 0;
    std::uint8_t format() const { return bytes[3]; }
};

// A complete compressed frame with the header of the fragment that completed it.
struct RgbFrame {
    RgbFragmentHeader header;
    std::vector<std::uint8_t> bytes;
};

// Reassembly state of one receive thread.
struct RgbAssembly {
    std::uint32_t frameId = 0;
    std::uint32_t count = 0;
    bool overflowed = false;  // this frame id passed the size limit; ignored until the id changes
    std::vector<std::uint8_t> bytes;
};

// Feeds one datagram. True when it completed a frame, which is moved into
// out (the rest of the datagram is not examined).
bool AssembleRgbFragment(const std::uint8_t* data, std::size_t n, RgbAssembly& state, RgbFrame& out);

enum class RgbDecode { Image, Empty, Dropped };
// JPEG (format 0, must decode to 1600 x 1200) or NV12 (format 2, exactly
// 2,880,000 bytes) into a 1200 x 1600 CV_8UC3 R,G,B image, written into the
// pixels out already has when they fit. Any other format gives Empty (out
// becomes an empty header); an undecodable frame Dropped.
RgbDecode DecodeRgbFrame(std::uint8_t format, const std::vector<std::uint8_t>& bytes, cv::Mat& out);

// In place: 1 turns by 180 degrees, 2 mirrors left-right, 3 top-bottom.
void RotateRgbImage(cv::Mat& image, std::uint8_t code);

// Undistortion maps for one set of intrinsics and one image size.
struct UndistortMaps {
    float key[8] = {};
    cv::Size size;
    cv::Mat map1, map2;
    bool valid = false;
};

// Fisheye undistortion keeping the same camera matrix. Uses (and refreshes)
// cache when given; the pixels equal those of maps built for this image.
// The result is written into *into's pixels when given and they fit.
// An empty image gives an empty result and a message on standard error.
cv::Mat UndistortRgbImage(const cv::Mat& image, const float intrinsics[10], UndistortMaps* cache,
                          cv::Mat* into = nullptr);

// fx, fy positive and every value finite.
bool IntrinsicsUsable(const float intrinsics[10]);

// Everything the RGB threads and the RGB calls share.
struct RgbShared {
    // Receive thread -> processing thread. Separate from the input mutex so
    // that reception never waits for a frame being processed.
    std::mutex slotMutex;
    std::condition_variable slotCv;
    bool newFrame = false;  // under slotMutex
    RgbFrame slot;

    // Held while one frame is processed, and by ZelOrbSetRgbUndistortion.
    std::mutex inputMutex;
    std::atomic<bool> undistort{false};
    float intrinsics[10] = {};  // under inputMutex
    UndistortMaps maps;         // under inputMutex
    // Image buffers reused once no reader holds them any more, so a frame
    // does not pay for fresh pages (under inputMutex).
    cv::Mat decodePool[3];
    cv::Mat undistortPool[3];

    // Decoded, rotated image before undistortion; its pixels are never
    // written once stored, so readers may keep a reference.
    std::mutex fusionMutex;
    cv::Mat fusionSource;

    std::mutex outputMutex;  // record, image, handOut, callback, newImage
    std::condition_variable outputCv;
    bool newImage = false;
    ZelOrbRgbData record{};
    cv::Mat image;
    std::vector<std::uint8_t> handOut;
    ZelOrbRgbCallback callback = nullptr;
};

// A published image and the callback registered at publication, for a call
// made once every lock is released. pixels keeps record.data alive.
struct RgbDelivery {
    ZelOrbRgbCallback callback = nullptr;
    ZelOrbRgbData record{};
    cv::Mat pixels;
};

// Decodes, rotates, stores the fusion source, undistorts when enabled and
// publishes. Caller holds s.inputMutex. False when the frame was dropped.
bool ProcessRgbFrame(RgbShared& s, const RgbFrame& frame, std::uint8_t rotation, RgbDelivery* delivery = nullptr);

// Copies the newest image out as ZelOrbGetRgb does (waits up to timeout).
bool TakeRgbImage(RgbShared& s, ZelOrbRgbData& out, std::chrono::milliseconds timeout);

}  // namespace orb
