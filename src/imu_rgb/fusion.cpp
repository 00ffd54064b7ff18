#include "imu_rgb/fusion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "imu_rgb/fusion_state.h"
#include "imu_rgb/rgb_image.h"
#include "imu_rgb/rgb_stream.h"
#include "stream/stream_state.h"

namespace orb {

FusionState::FusionState() = default;
FusionState::~FusionState() = default;

bool initFusionState(FusionParams& out, const float intr[10], int height, int width, const float extr[12]) {
    if (!intrinsicsUsable(intr) || width <= 0 || height <= 0) return false;
    for (int i = 0; i < 12; ++i)
        if (!std::isfinite(extr[i])) return false;

    const cv::Mat K = cameraMatrix(intr);
    const cv::Mat D = (cv::Mat_<float>(1, 4) << intr[4], intr[5], intr[6], intr[7]);
    const cv::Size size(width, height);
    const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);

    cv::Mat newK;
    cv::fisheye::estimateNewCameraMatrixForUndistortRectify(K, D, size, identity, newK, 1.0, size, 1.0);
    newK.convertTo(newK, CV_32F);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (!std::isfinite(newK.at<float>(r, c))) return false;

    FusionParams p;
    p.newCameraMatrix = newK;
    p.distortion = D;
    p.width = width;
    p.height = height;
    cv::fisheye::initUndistortRectifyMap(K, D, identity, newK, size, CV_16SC2, p.map1, p.map2);

    const cv::Mat R(3, 3, CV_32F, const_cast<float*>(extr));
    const cv::Mat T(3, 1, CV_32F, const_cast<float*>(extr + 9));
    const cv::Mat M = newK * R;
    const cv::Mat t = newK * T;
    for (int i = 0; i < 9; ++i) p.M[i] = M.at<float>(i / 3, i % 3);
    for (int i = 0; i < 3; ++i) p.t[i] = t.at<float>(i, 0);
    out = std::move(p);
    return true;
}

void fuseColors(const FusionParams& fp, const std::uint8_t* rgb, const float* x, const float* y, const float* z,
                std::size_t n, std::uint8_t* out, FusionWorkspace& work) {
    const int width = fp.width;
    const int height = fp.height;
    const cv::Mat source(height, width, CV_8UC3, const_cast<std::uint8_t*>(rgb));
    cv::remap(source, work.undistorted, fp.map1, fp.map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());

    const int gridW = (width + 3) / 4;
    const int gridH = (height + 3) / 4;
    const std::size_t cells = static_cast<std::size_t>(gridW) * gridH;
    work.count.assign(cells, 0);
    work.sum.assign(cells, 0.0f);
    work.u.resize(n);
    work.v.resize(n);
    work.d.resize(n);
    float* pu = work.u.data();
    float* pv = work.v.data();
    float* pd = work.d.data();
    const float* M = fp.M;
    const float* t = fp.t;
    const float maxDepth = static_cast<float>(fp.maxDepth);

    for (std::size_t i = 0; i < n; ++i) {
        const float a = M[0] * x[i] + M[1] * y[i] + M[2] * z[i] + t[0];
        const float b = M[3] * x[i] + M[4] * y[i] + M[5] * z[i] + t[1];
        const float d = M[6] * x[i] + M[7] * y[i] + M[8] * z[i] + t[2];
        pd[i] = d;
        // Only points in front of the camera are ever counted or coloured;
        // skipping the division for the rest keeps it well defined.
        if (!(d > 0.0f)) continue;
        const float u = a / d;
        const float v = b / d;
        pu[i] = u;
        pv[i] = v;
        if (!(d < maxDepth)) continue;
        const float gu = u * 0.25f;
        const float gv = v * 0.25f;
        if (!(gu >= 0.0f && gu < static_cast<float>(gridW) && gv >= 0.0f && gv < static_cast<float>(gridH))) continue;
        const std::size_t cell = static_cast<std::size_t>(static_cast<int>(gv)) * gridW + static_cast<int>(gu);
        if (work.count[cell] < 0xFFFF) ++work.count[cell];
        work.sum[cell] += d;
    }

    const float tolerance = static_cast<float>(fp.depthTolerance);
    const std::size_t stride = work.undistorted.step;
    const std::uint8_t* img = work.undistorted.data;
    for (std::size_t i = 0; i < n; ++i) {
        if (!(x[i] > 0.0f && x[i] < maxDepth)) continue;
        const float d = pd[i];
        if (!(d > 0.0f)) continue;
        const float u = pu[i];
        const float v = pv[i];
        // Truncation toward zero keeps (-1, 0) on pixel 0; test before
        // converting so non-finite or huge values never reach the cast.
        if (!(u > -1.0f && u < static_cast<float>(width) && v > -1.0f && v < static_cast<float>(height))) continue;
        const int px = static_cast<int>(u);
        const int py = static_cast<int>(v);
        const std::size_t cell = static_cast<std::size_t>(py / 4) * gridW + px / 4;
        const std::uint16_t count = work.count[cell];
        if (count == 0) continue;
        const float mean = work.sum[cell] / static_cast<float>(count);
        if (tolerance + mean >= d) {
            const std::uint8_t* pix = img + static_cast<std::size_t>(py) * stride + static_cast<std::size_t>(px) * 3;
            out[3 * i] = pix[0];
            out[3 * i + 1] = pix[1];
            out[3 * i + 2] = pix[2];
        }
    }
}

namespace {

// x, y and z of every point, as separate arrays of kFusionPoints.
void copyCoordinates(const FrameBuffer& frame, FusionWorkspace& ws) {
    const std::size_t n = std::min(frame.size(), kFusionPoints);
    for (std::vector<float>* axis : {&ws.x, &ws.y, &ws.z}) axis->resize(kFusionPoints);
    for (std::size_t i = 0; i < n; ++i) {
        ws.x[i] = frame[i].x;
        ws.y[i] = frame[i].y;
        ws.z[i] = frame[i].z;
    }
    for (std::size_t i = n; i < kFusionPoints; ++i) ws.x[i] = ws.y[i] = ws.z[i] = 0.0f;
}

}  // namespace

void installFusionParams(FusionState& fusion, std::shared_ptr<FusionParams> params) {
    params->maxDepth = fusion.maxDepth;
    params->depthTolerance = fusion.depthTolerance;
    std::lock_guard<std::mutex> lk(fusion.paramsMutex);
    fusion.params = std::move(params);
}

std::int32_t fuseNewestFrame(FusionState& fusion, RgbShared& rgb, StreamState& stream, ZelOrbRgbData* data) {
    if (!data || !data->data) return RC_INVALID_TARGET;
    std::shared_ptr<const FusionParams> params;
    {
        std::lock_guard<std::mutex> lk(fusion.paramsMutex);
        params = fusion.params;
    }
    if (!params) return RC_GET_DATA_FAILED;
    RgbImageRef source;
    {
        std::lock_guard<std::mutex> lk(rgb.fusionMutex);
        source = rgb.fusionSource;  // shares pixels that are never written again
    }
    if (!source || source->empty() || source->type() != CV_8UC3 || source->cols != params->width ||
        source->rows != params->height || !source->isContinuous())
        return RC_RGB_GET_FAILED;

    std::lock_guard<std::mutex> work(fusion.workMutex);
    if (!fusion.work) fusion.work = std::make_unique<FusionWorkspace>();
    FusionWorkspace& ws = *fusion.work;
    {
        std::lock_guard<std::mutex> lk(stream.streamMutex);
        copyCoordinates(stream.unfilteredFrame, ws);
    }
    data->width = ZEL_ORB_FRAME_COLS;
    data->height = ZEL_ORB_FRAME_ROWS;
    data->channels = 3;
    data->size = kFusionOutputBytes;
    fuseColors(*params, source->data, ws.x.data(), ws.y.data(), ws.z.data(), kFusionPoints, data->data, ws);
    return RC_OK;
}

}  // namespace orb
