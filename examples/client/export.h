// Writers for looking at what the camera sees: PLY point clouds and PNG images.
#pragma once

#include <cstdint>
#include <string>

#include "orb_sdk.h"

namespace orbclient {

// Writes the frame's non-empty points (x, y, z, intensity; and red, green,
// blue when rgb is given: 3 bytes per point, point i at 3i) as a binary
// little-endian PLY. Returns the number of points written, or -1 on error.
long writePly(const std::string& path, const ZelOrbPointData* frame, const std::uint8_t* rgb = nullptr);

// Colour-mapped 360 x 150 PNG of the frame's depth (x) or intensity; empty
// points are black. Returns false when the file cannot be written.
bool writeDepthPng(const std::string& path, const ZelOrbPointData* frame);
bool writeIntensityPng(const std::string& path, const ZelOrbPointData* frame);

// The RGB image as PNG. False for an empty image or a write failure.
bool writeRgbPng(const std::string& path, const ZelOrbRgbData& image);

}  // namespace orbclient
