#include "imu_rgb/rgb_image.h"

#include <cmath>
#include <cstring>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/diagnostics.h"
#include "imu_rgb/rgb_assembly.h"

namespace orb {

RgbDecode decodeRgbFrame(std::uint8_t format, const std::vector<std::uint8_t>& bytes, cv::Mat& out) {
    if (format == kRgbFormatJpeg) {
        if (bytes.empty() || bytes.size() > kMaxRgbFrameBytes) return RgbDecode::Dropped;
        const cv::Mat encoded(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<std::uint8_t*>(bytes.data()));
        cv::imdecode(encoded, cv::IMREAD_COLOR, &out);
        // Everything downstream (record, fusion, intrinsics) assumes the sensor size.
        if (out.empty() || out.type() != CV_8UC3 || out.cols != kRgbWidth || out.rows != kRgbHeight)
            return RgbDecode::Dropped;
        cv::cvtColor(out, out, cv::COLOR_BGR2RGB);
        return RgbDecode::Image;
    }
    if (format == kRgbFormatNv12) {
        if (bytes.size() != kNv12FrameBytes) return RgbDecode::Dropped;
        const cv::Mat yuv(kRgbHeight * 3 / 2, kRgbWidth, CV_8UC1, const_cast<std::uint8_t*>(bytes.data()));
        cv::cvtColor(yuv, out, cv::COLOR_YUV2RGB_NV12);
        return RgbDecode::Image;
    }
    out = cv::Mat();
    return RgbDecode::Empty;
}

void rotateRgbImage(cv::Mat& image, std::uint8_t code) {
    if (image.empty()) return;
    switch (code) {
        case 1: cv::flip(image, image, -1); break;
        case 2: cv::flip(image, image, 1); break;
        case 3: cv::flip(image, image, 0); break;
        default: break;
    }
}

cv::Mat cameraMatrix(const float intr[10]) {
    cv::Mat K = cv::Mat::zeros(3, 3, CV_32F);
    K.at<float>(0, 0) = intr[0];
    K.at<float>(1, 1) = intr[1];
    K.at<float>(0, 2) = intr[2];
    K.at<float>(1, 2) = intr[3];
    K.at<float>(2, 2) = 1.0f;
    return K;
}

bool intrinsicsUsable(const float v[10]) {
    for (int i = 0; i < 8; ++i)
        if (!std::isfinite(v[i])) return false;
    return v[0] > 0.0f && v[1] > 0.0f;
}

cv::Mat undistortRgbImage(const cv::Mat& image, const float intr[10], UndistortMaps* cache, cv::Mat* into) {
    if (image.empty()) {
        printDiagnostic(DiagnosticStream::Err, "Error param undistort\n");
        return cv::Mat();
    }
    UndistortMaps local;
    UndistortMaps& maps = cache ? *cache : local;
    if (!maps.valid || maps.size != image.size() || std::memcmp(maps.key, intr, sizeof maps.key) != 0) {
        maps.valid = false;
        const cv::Mat K = cameraMatrix(intr);
        const cv::Mat D = (cv::Mat_<float>(4, 1) << intr[4], intr[5], intr[6], intr[7]);
        cv::fisheye::initUndistortRectifyMap(K, D, cv::Mat::eye(3, 3, CV_64F), K, image.size(), CV_16SC2,
                                             maps.map1, maps.map2);
        std::memcpy(maps.key, intr, sizeof maps.key);
        maps.size = image.size();
        maps.valid = true;
    }
    cv::Mat fresh;
    cv::Mat& out = into ? *into : fresh;
    cv::remap(image, out, maps.map1, maps.map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    return out;
}

}  // namespace orb
