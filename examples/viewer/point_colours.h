// Colouring of frames: the colour map (the one the saved depth and intensity
// PNGs use), the vertices of the 3D view and the pixels of the 2D views.
#pragma once

#include <cstdint>
#include <vector>

#include "orb_sdk.h"

namespace orbviewer {

enum class ColourMode { Range, Intensity, Height, Rgb };

struct Rgb8 {
    std::uint8_t r = 0, g = 0, b = 0;
};

// The colour of v on a scale from lo (first entry) to hi (last entry); values
// outside are clamped.
Rgb8 mapColour(float v, float lo, float hi);

inline bool isEmptyPoint(const ZelOrbPointData& p) { return p.x == 0.0f && p.y == 0.0f && p.z == 0.0f; }
// Range (distance from the sensor), intensity or height (z) of a point.
float pointValue(const ZelOrbPointData& p, ColourMode mode);

struct PointVertex {
    float x, y, z;
    std::uint8_t r, g, b, a;
};

// Appends a vertex for every non-empty point of the 150 x 360 frame, coloured
// by mode on [lo, hi]; for ColourMode::Rgb, rgb holds 3 bytes per point
// (null: grey). Returns the number of vertices appended.
std::size_t appendVertices(const ZelOrbPointData* frame, ColourMode mode, float lo, float hi, const std::uint8_t* rgb,
                           std::vector<PointVertex>& out);

// RGBA pixels (360 x 150) of the frame's depth (x) or intensity, scaled from
// 0 to the frame's largest value as the saved PNGs are; empty points are
// black. Returns that largest value.
enum class ImageKind { Depth, Intensity };
float colourImage(const ZelOrbPointData* frame, ImageKind kind, std::vector<std::uint8_t>& rgba);

}  // namespace orbviewer
