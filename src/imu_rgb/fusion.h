// RGB-D fusion: camera model set-up and the colouring of a frame's points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "orb_sdk.h"

namespace orb {

struct FusionState;
struct RgbShared;
struct StreamState;

constexpr std::size_t kFusionPoints = ZEL_ORB_FRAME_POINTS;
constexpr std::size_t kFusionOutputBytes = kFusionPoints * 3;

struct FusionParams {
    cv::Mat newCameraMatrix;  // K', 3 x 3 CV_32F
    cv::Mat distortion;       // 1 x 4 CV_32F
    int width = 0;
    int height = 0;
    cv::Mat map1, map2;  // CV_16SC2 + interpolation table, width x height
    float M[9] = {};     // K' * R, row-major
    float t[3] = {};     // K' * T
    int maxDepth = 5000;
    int depthTolerance = 25;
};

struct FusionWorkspace {
    cv::Mat undistorted;
    std::vector<std::uint16_t> count;
    std::vector<float> sum;
    std::vector<float> u, v, d;        // projections, filled by fuseColors
    std::vector<float> x, y, z;        // frame coordinates, filled by the caller
};

// Builds the maps and the projection from the RGB intrinsics (fx, fy, cx,
// cy, k1..k4, two spare) and the LiDAR-to-RGB extrinsics (R row-major, T).
// False (out untouched) when the values cannot describe a camera.
bool initFusionState(FusionParams& out, const float intrinsics[10], int height, int width,
                     const float extrinsics[12]);

// Colours n points: rgb is params.height x params.width x 3 bytes (R, G, B);
// out receives 3 bytes per coloured point and is left alone elsewhere.
void fuseColors(const FusionParams& params, const std::uint8_t* rgb, const float* x, const float* y,
                const float* z, std::size_t n, std::uint8_t* out, FusionWorkspace& work);

// Installs parameters built by initFusionState (taking the device's depth
// limits); later fusions of the device use them.
void installFusionParams(FusionState& fusion, std::shared_ptr<FusionParams> params);

// Colours the device's newest unfiltered frame from its newest decoded RGB
// image into data: RC_OK, RC_GET_DATA_FAILED before parameters are
// installed, RC_RGB_GET_FAILED until an image fits them.
std::int32_t fuseNewestFrame(FusionState& fusion, RgbShared& rgb, StreamState& stream, ZelOrbRgbData* data);

}  // namespace orb
