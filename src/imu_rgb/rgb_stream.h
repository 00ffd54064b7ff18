// RGB stream: the per-device receive and processing threads (started and
// stopped through imu_rgb_state.h), and the publication of the newest image.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "control/control_endpoint.h"
#include "imu_rgb/rgb_assembly.h"
#include "imu_rgb/rgb_image.h"
#include "orb_sdk.h"

namespace orb {

constexpr std::chrono::milliseconds kRgbPollWait{200};

// Decoded pixels shared between the processing thread and their readers. A
// buffer is written only while no one but its pool holds it.
using RgbPixels = std::shared_ptr<cv::Mat>;
using RgbImageRef = std::shared_ptr<const cv::Mat>;

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
    RgbPixels decodePool[3];
    RgbPixels undistortPool[3];

    // Decoded, rotated image before undistortion; its pixels are never
    // written once stored, so readers may keep a reference.
    std::mutex fusionMutex;
    RgbImageRef fusionSource;

    // Images reassembled, and those lost: incomplete, replaced before they
    // were processed, or undecodable.
    std::atomic<std::uint64_t> imagesCompleted{0};
    std::atomic<std::uint64_t> imagesDropped{0};

    std::mutex outputMutex;  // record, image, handOut, callback, newImage
    std::condition_variable outputCv;
    bool newImage = false;
    ZelOrbRgbData record{};
    RgbImageRef image;
    std::vector<std::uint8_t> handOut;
    ZelOrbRgbCallback callback = nullptr;
};

// A published image and the callback registered at publication, for a call
// made once every lock is released. pixels keeps record.data alive.
struct RgbDelivery {
    ZelOrbRgbCallback callback = nullptr;
    ZelOrbRgbData record{};
    RgbImageRef pixels;
};

// Decodes, rotates, stores the fusion source, undistorts when enabled and
// publishes. Caller holds s.inputMutex. False when the frame was dropped.
bool processRgbFrame(RgbShared& s, const RgbFrame& frame, std::uint8_t rotation, RgbDelivery* delivery = nullptr);

// Copies the newest image out as ZelOrbGetRgb does (waits up to timeout).
bool takeRgbImage(RgbShared& s, ZelOrbRgbData& out, std::chrono::milliseconds timeout);

// Switches undistortion; enabling reads the intrinsics from the device
// first: RC_OK, or -1 (undistortion off) when they cannot be read or used.
std::int32_t setRgbUndistortion(RgbShared& s, ControlEndpoint& ctrl, bool enable);

}  // namespace orb
