#include "imu_rgb/fusion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <shared_mutex>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "control/config_commands.h"
#include "core/api_guard.h"
#include "core/callback_guard.h"
#include "imu_rgb/device_call.h"
#include "imu_rgb/fusion_state.h"
#include "imu_rgb/imu_rgb_state.h"
#include "imu_rgb/rgb_stream.h"

namespace orb {

FusionState::FusionState() = default;
FusionState::~FusionState() = default;

bool InitFusionState(FusionParams& out, const float intr[10], int height, int width, const float extr[12]) {
    if (!IntrinsicsUsable(intr) || width <= 0 || height <= 0) return false;
    for (int i = 0; i < 12; ++i)
        if (!std::isfinite(extr[i])) return false;

    cv::Mat K = cv::Mat::zeros(3, 3, CV_32F);
    K.at<float>(0, 0) = intr[0];
    K.at<float>(1, 1) = intr[1];
    K.at<float>(0, 2) = intr[2];
    K.at<float>(1, 2) = intr[3];
    K.at<float>(2, 2) = 1.0f;
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

void FuseColors(const FusionParams& fp, const std::uint8_t* rgb, const float* x, const float* y, const float* z,
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

std::int32_t InitFusion(const char* ip) {
    float intr[10] = {};
    float extr[12] = {};
    {
        Registry& reg = Registry::get();
        std::shared_lock<std::shared_mutex> lk(reg.mutex());
        DeviceRecord* dev = reg.find(ip);
        if (!dev) return RC_GENERAL_ERROR;  // the parameters could not be read
        if (QueryIntrinsics(dev->ctrl, intr) != 0) return RC_GENERAL_ERROR;
        if (QueryLidarToRgbExtrinsics(dev->ctrl, extr) != 0) return RC_GENERAL_ERROR;
    }
    // The maps take a while: build them without holding any lock.
    auto params = std::make_shared<FusionParams>();
    if (!InitFusionState(*params, intr, kRgbHeight, kRgbWidth, extr)) return RC_GENERAL_ERROR;
    return WithDeviceShared(ip, [&](DeviceRecord& dev) -> std::int32_t {
        params->maxDepth = dev.fusion.maxDepth;
        params->depthTolerance = dev.fusion.depthTolerance;
        std::lock_guard<std::mutex> lk(dev.fusion.paramsMutex);
        dev.fusion.params = std::move(params);
        return RC_OK;
    });
}

std::int32_t GetFusion(DeviceRecord& dev, ZelOrbRgbData* data) {
    if (!data || !data->data) return RC_INVALID_TARGET;
    std::shared_ptr<const FusionParams> params;
    {
        std::lock_guard<std::mutex> lk(dev.fusion.paramsMutex);
        params = dev.fusion.params;
    }
    if (!params) return RC_GET_DATA_FAILED;
    cv::Mat source;
    {
        RgbShared& rgb = *dev.ctrl.imuRgb.rgb;
        std::lock_guard<std::mutex> lk(rgb.fusionMutex);
        source = rgb.fusionSource;  // shares pixels that are never written again
    }
    if (source.empty() || source.type() != CV_8UC3 || source.cols != params->width ||
        source.rows != params->height || !source.isContinuous())
        return RC_RGB_GET_FAILED;

    std::lock_guard<std::mutex> work(dev.fusion.workMutex);
    if (!dev.fusion.work) dev.fusion.work = std::make_unique<FusionWorkspace>();
    FusionWorkspace& ws = *dev.fusion.work;
    ws.x.resize(kFusionPoints);
    ws.y.resize(kFusionPoints);
    ws.z.resize(kFusionPoints);
    float* px = ws.x.data();
    float* py = ws.y.data();
    float* pz = ws.z.data();
    {
        std::lock_guard<std::mutex> lk(dev.stream.streamMutex);
        const ZelOrbPointData* frame = dev.stream.unfilteredFrame.data();
        const std::size_t n = std::min(dev.stream.unfilteredFrame.size(), kFusionPoints);
        for (std::size_t i = 0; i < n; ++i) {
            px[i] = frame[i].x;
            py[i] = frame[i].y;
            pz[i] = frame[i].z;
        }
        for (std::size_t i = n; i < kFusionPoints; ++i) px[i] = py[i] = pz[i] = 0.0f;
    }
    data->width = 360;
    data->height = 150;
    data->channels = 3;
    data->size = kFusionOutputBytes;
    FuseColors(*params, source.data, px, py, pz, kFusionPoints, data->data, ws);
    return RC_OK;
}

}  // namespace
}  // namespace orb

extern "C" {

int32_t ZelOrbInitRGBDFusionParam(const char* ip) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        return orb::InitFusion(ip);
    });
}

int32_t ZelOrbGetRGBDFusionData(const char* ip, ZelOrbRgbData* data) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        // Frame and six-axis callbacks hold the stream mutex this call takes.
        if (orb::inOwnCallback(ip) && !orb::InOwnImuCallback(ip) && !orb::InOwnRgbCallback(ip))
            return RC_GENERAL_ERROR;
        return orb::WithDeviceShared(ip, [&](orb::DeviceRecord& dev) { return orb::GetFusion(dev, data); });
    });
}

}  // extern "C"
