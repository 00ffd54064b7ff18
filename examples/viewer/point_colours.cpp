#include "point_colours.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace orbviewer {

namespace {

// OpenCV's JET map, so the 2D views match the PNGs the export writers save.
const std::array<Rgb8, 256>& lut() {
    static const std::array<Rgb8, 256> table = [] {
        cv::Mat ramp(1, 256, CV_8U);
        for (int i = 0; i < 256; ++i) ramp.at<std::uint8_t>(0, i) = static_cast<std::uint8_t>(i);
        cv::Mat bgr;
        cv::applyColorMap(ramp, bgr, cv::COLORMAP_JET);
        std::array<Rgb8, 256> t{};
        for (int i = 0; i < 256; ++i) {
            const cv::Vec3b c = bgr.at<cv::Vec3b>(0, i);
            t[static_cast<std::size_t>(i)] = {c[2], c[1], c[0]};
        }
        return t;
    }();
    return table;
}

std::size_t lutIndex(float v, float lo, float hi) {
    if (!(hi > lo) || !std::isfinite(v)) return 0;
    const float t = std::clamp((v - lo) / (hi - lo), 0.0f, 1.0f);
    return static_cast<std::size_t>(t * 255.0f + 0.5f);
}

}  // namespace

Rgb8 mapColour(float v, float lo, float hi) { return lut()[lutIndex(v, lo, hi)]; }

float pointValue(const ZelOrbPointData& p, ColourMode mode) {
    switch (mode) {
    case ColourMode::Intensity:
        return static_cast<float>(p.intensity);
    case ColourMode::Height:
        return p.z;
    default:
        return std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
    }
}

std::size_t appendVertices(const ZelOrbPointData* frame, ColourMode mode, float lo, float hi, const std::uint8_t* rgb,
                           std::vector<PointVertex>& out) {
    const std::size_t before = out.size();
    const auto& table = lut();
    for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
        const ZelOrbPointData& p = frame[i];
        if (isEmptyPoint(p) || !std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
        Rgb8 c{128, 128, 128};
        if (mode == ColourMode::Rgb) {
            if (rgb) c = {rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]};
        } else {
            c = table[lutIndex(pointValue(p, mode), lo, hi)];
        }
        out.push_back({p.x, p.y, p.z, c.r, c.g, c.b, 255});
    }
    return out.size() - before;
}

float colourImage(const ZelOrbPointData* frame, ImageKind kind, std::vector<std::uint8_t>& rgba) {
    auto value = [kind](const ZelOrbPointData& p) {
        float v = isEmptyPoint(p) ? 0.0f : (kind == ImageKind::Depth ? p.x : static_cast<float>(p.intensity));
        return std::isfinite(v) && v > 0.0f ? v : 0.0f;
    };
    float hi = 0.0f;
    for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) hi = std::max(hi, value(frame[i]));
    rgba.resize(static_cast<std::size_t>(ZEL_ORB_FRAME_POINTS) * 4);
    const auto& table = lut();
    for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
        const float v = value(frame[i]);
        const Rgb8 c = v > 0.0f ? table[lutIndex(v, 0.0f, hi)] : Rgb8{};
        std::uint8_t* o = &rgba[static_cast<std::size_t>(i) * 4];
        o[0] = c.r;
        o[1] = c.g;
        o[2] = c.b;
        o[3] = 255;
    }
    return hi;
}

}  // namespace orbviewer
