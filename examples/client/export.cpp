#include "client/export.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace orbclient {

namespace {

bool isEmpty(const ZelOrbPointData& p) { return p.x == 0.0f && p.y == 0.0f && p.z == 0.0f; }

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

template <class T>
void putLE(std::vector<std::uint8_t>& out, T v) {
    std::uint8_t b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));  // the client runs on little-endian hosts
    out.insert(out.end(), b, b + sizeof(T));
}

// Maps one float per point to a colour image; values <= 0 stay black.
bool writeColourMapped(const std::string& path, const ZelOrbPointData* frame, float (*value)(const ZelOrbPointData&)) {
    cv::Mat v(ZEL_ORB_FRAME_ROWS, ZEL_ORB_FRAME_COLS, CV_32F, cv::Scalar(0));
    float hi = 0.0f;
    for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
        float f = isEmpty(frame[i]) ? 0.0f : value(frame[i]);
        if (!std::isfinite(f) || f < 0.0f) f = 0.0f;
        v.at<float>(i / ZEL_ORB_FRAME_COLS, i % ZEL_ORB_FRAME_COLS) = f;
        hi = std::max(hi, f);
    }
    cv::Mat grey;
    v.convertTo(grey, CV_8U, hi > 0.0f ? 255.0 / hi : 0.0);
    cv::Mat colour;
    cv::applyColorMap(grey, colour, cv::COLORMAP_JET);
    colour.setTo(cv::Scalar(0, 0, 0), v <= 0.0f);
    try {
        return cv::imwrite(path, colour);
    } catch (const cv::Exception&) {
        return false;
    }
}

}  // namespace

long writePly(const std::string& path, const ZelOrbPointData* frame, const std::uint8_t* rgb) {
    std::vector<std::uint8_t> body;
    long count = 0;
    for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
        const ZelOrbPointData& p = frame[i];
        if (isEmpty(p)) continue;
        putLE(body, p.x);
        putLE(body, p.y);
        putLE(body, p.z);
        putLE(body, static_cast<std::uint8_t>(p.intensity > 255 ? 255 : p.intensity));
        if (rgb) body.insert(body.end(), rgb + 3 * i, rgb + 3 * i + 3);
        ++count;
    }
    std::string header = "ply\nformat binary_little_endian 1.0\ncomment orb-client frame\n";
    header += "element vertex " + std::to_string(count) + "\n";
    header += "property float x\nproperty float y\nproperty float z\nproperty uchar intensity\n";
    if (rgb) header += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    header += "end_header\n";
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
    if (!f) return -1;
    if (std::fwrite(header.data(), 1, header.size(), f.get()) != header.size()) return -1;
    if (!body.empty() && std::fwrite(body.data(), 1, body.size(), f.get()) != body.size()) return -1;
    return count;
}

bool writeDepthPng(const std::string& path, const ZelOrbPointData* frame) {
    return writeColourMapped(path, frame, [](const ZelOrbPointData& p) { return p.x; });
}

bool writeIntensityPng(const std::string& path, const ZelOrbPointData* frame) {
    return writeColourMapped(path, frame, [](const ZelOrbPointData& p) { return static_cast<float>(p.intensity); });
}

bool writeRgbPng(const std::string& path, const ZelOrbRgbData& image) {
    if (!image.data || image.size == 0 || image.channels != 3) return false;
    if (static_cast<std::uint64_t>(image.width) * image.height * 3 != image.size) return false;
    cv::Mat rgb(static_cast<int>(image.height), static_cast<int>(image.width), CV_8UC3, image.data);
    cv::Mat bgr;
    cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
    try {
        return cv::imwrite(path, bgr);
    } catch (const cv::Exception&) {
        return false;
    }
}

}  // namespace orbclient
