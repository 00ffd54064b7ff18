// RGB image processing: decoding a reassembled frame, turning it as the
// camera reports, and fisheye undistortion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace orb {

constexpr int kRgbWidth = 1600;
constexpr int kRgbHeight = 1200;
constexpr std::size_t kRgbImageBytes = std::size_t{kRgbWidth} * kRgbHeight * 3;
constexpr std::size_t kNv12FrameBytes = std::size_t{kRgbWidth} * kRgbHeight * 3 / 2;
constexpr std::uint8_t kRgbFormatJpeg = 0;
constexpr std::uint8_t kRgbFormatNv12 = 2;

enum class RgbDecode { Image, Empty, Dropped };
// JPEG (format 0, must decode to 1600 x 1200) or NV12 (format 2, exactly
// 2,880,000 bytes) into a 1200 x 1600 CV_8UC3 R,G,B image, written into the
// pixels out already has when they fit. Any other format gives Empty (out
// becomes an empty header); an undecodable frame Dropped.
RgbDecode decodeRgbFrame(std::uint8_t format, const std::vector<std::uint8_t>& bytes, cv::Mat& out);

// In place: 1 turns by 180 degrees, 2 mirrors left-right, 3 top-bottom.
void rotateRgbImage(cv::Mat& image, std::uint8_t code);

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
cv::Mat undistortRgbImage(const cv::Mat& image, const float intrinsics[10], UndistortMaps* cache,
                          cv::Mat* into = nullptr);

// fx, fy positive and every value finite.
bool intrinsicsUsable(const float intrinsics[10]);

// The 3 x 3 camera matrix of fx, fy, cx, cy (CV_32F).
cv::Mat cameraMatrix(const float intrinsics[10]);

}  // namespace orb
