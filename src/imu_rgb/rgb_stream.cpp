#include "imu_rgb/rgb_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "control/config_commands.h"
#include "core/api_guard.h"
#include "core/callback_guard.h"
#include "imu_rgb/device_call.h"
#include "imu_rgb/imu_rgb_state.h"
#include "imu_rgb/wire_bytes.h"
#include "platform/net.h"

namespace orb {

// ------------------------------------------------------------- reassembly

bool AssembleRgbFragment(const std::uint8_t* data, std::size_t n, RgbAssembly& st, RgbFrame& out) {
    if (!data || n < kRgbMinDatagram) return false;
    constexpr std::size_t kHeaderAfterHead = 30;  // word, length, 4 bytes, total, index, id, time
    std::size_t p = 0;
    while (p < n) {
        if (n - p < 4) return false;
        if (wire::le32(data + p) != wire::kStreamHeadMagic) {
            ++p;
            continue;
        }
        p += 4;
        if (n - p < kHeaderAfterHead) return false;
        const std::uint8_t* h = data + p;
        RgbFragmentHeader hdr;
        hdr.word = wire::be32(h);
        hdr.length = wire::be32(h + 4);
        std::memcpy(hdr.bytes, h + 8, 4);
        hdr.total = wire::be16(h + 12);
        hdr.index = wire::be16(h + 14);
        hdr.frameId = wire::be32(h + 16);
        hdr.seconds = wire::le48(h + 20);
        hdr.microseconds = wire::le32(h + 26);
        p += kHeaderAfterHead;
        if (p >= n || n - p < hdr.length) return false;
        const std::uint8_t* payload = data + p;
        p += hdr.length;
        if (n - p < 4) return false;
        if (wire::le32(data + p) != wire::kStreamTailMagic) continue;  // rescan from the bad tail
        p += 4;

        if (hdr.frameId != st.frameId) {
            st.frameId = hdr.frameId;
            st.bytes.clear();
            st.count = 0;
            st.overflowed = false;
        }
        if (st.overflowed) continue;
        if (hdr.length > kMaxRgbFrameBytes - st.bytes.size()) {
            st.bytes = std::vector<std::uint8_t>();  // give the memory back
            st.count = 0;
            st.overflowed = true;
            continue;
        }
        if (st.count == 0 && hdr.total > 0)
            st.bytes.reserve(std::min<std::size_t>(std::size_t{hdr.total} * hdr.length, kMaxRgbFrameBytes));
        st.bytes.insert(st.bytes.end(), payload, payload + hdr.length);
        ++st.count;
        if (hdr.index == hdr.total && st.count == hdr.total) {
            out.header = hdr;
            out.bytes = std::move(st.bytes);
            st.bytes = std::vector<std::uint8_t>();
            st.count = 0;
            return true;
        }
    }
    return false;
}

// ------------------------------------------------------- image processing

RgbDecode DecodeRgbFrame(std::uint8_t format, const std::vector<std::uint8_t>& bytes, cv::Mat& out) {
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

void RotateRgbImage(cv::Mat& image, std::uint8_t code) {
    if (image.empty()) return;
    switch (code) {
        case 1: cv::flip(image, image, -1); break;
        case 2: cv::flip(image, image, 1); break;
        case 3: cv::flip(image, image, 0); break;
        default: break;
    }
}

bool IntrinsicsUsable(const float v[10]) {
    for (int i = 0; i < 8; ++i)
        if (!std::isfinite(v[i])) return false;
    return v[0] > 0.0f && v[1] > 0.0f;
}

cv::Mat UndistortRgbImage(const cv::Mat& image, const float intr[10], UndistortMaps* cache, cv::Mat* into) {
    if (image.empty()) {
        std::fputs("Error param undistort\n", stderr);
        return cv::Mat();
    }
    UndistortMaps local;
    UndistortMaps& maps = cache ? *cache : local;
    if (!maps.valid || maps.size != image.size() || std::memcmp(maps.key, intr, sizeof maps.key) != 0) {
        maps.valid = false;
        cv::Mat K = cv::Mat::zeros(3, 3, CV_32F);
        K.at<float>(0, 0) = intr[0];
        K.at<float>(1, 1) = intr[1];
        K.at<float>(0, 2) = intr[2];
        K.at<float>(1, 2) = intr[3];
        K.at<float>(2, 2) = 1.0f;
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

namespace {
// A pool entry whose pixels no one else references (or an empty one).
cv::Mat& FreeBuffer(cv::Mat (&pool)[3]) {
    for (cv::Mat& m : pool) {
        if (m.empty()) return m;
        if (m.u && m.u->refcount > 0 && CV_XADD(&m.u->refcount, 0) == 1) return m;
    }
    pool[0].release();  // all still read elsewhere: they keep theirs, we take fresh pixels
    return pool[0];
}
}  // namespace

bool ProcessRgbFrame(RgbShared& s, const RgbFrame& frame, std::uint8_t rotation, RgbDelivery* delivery) {
    cv::Mat& decodeBuffer = FreeBuffer(s.decodePool);
    const RgbDecode decoded = DecodeRgbFrame(frame.header.format(), frame.bytes, decodeBuffer);
    if (decoded == RgbDecode::Dropped) return false;
    cv::Mat image = decoded == RgbDecode::Image ? decodeBuffer : cv::Mat();
    RotateRgbImage(image, rotation);
    {
        std::lock_guard<std::mutex> lk(s.fusionMutex);
        s.fusionSource = image;  // shares the pixels; nobody writes them from here on
    }
    cv::Mat published = image;
    if (s.undistort.load()) published = UndistortRgbImage(image, s.intrinsics, &s.maps, &FreeBuffer(s.undistortPool));
    {
        std::lock_guard<std::mutex> lk(s.outputMutex);
        s.image = published;
        ZelOrbRgbData& r = s.record;
        r.seconds = frame.header.seconds;
        r.microseconds = frame.header.microseconds;
        r.width = kRgbWidth;
        r.height = kRgbHeight;
        r.channels = 3;
        r.size = published.empty() ? 0 : published.total() * published.elemSize();
        r.frame_id = frame.header.frameId;
        r.data = published.empty() ? nullptr : published.data;
        s.newImage = true;
        if (delivery) {
            delivery->callback = s.callback;
            delivery->record = r;
            delivery->pixels = published;
        }
    }
    s.outputCv.notify_all();
    return true;
}

bool TakeRgbImage(RgbShared& s, ZelOrbRgbData& out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(s.outputMutex);
    if (!s.outputCv.wait_until(lk, std::chrono::steady_clock::now() + timeout, [&] { return s.newImage; }))
        return false;
    // Copy first, so a failed allocation leaves the flag and the caller's record alone.
    const std::size_t bytes = s.image.empty() ? 0 : s.image.total() * s.image.elemSize();
    s.handOut.resize(bytes);
    if (bytes) std::memcpy(s.handOut.data(), s.image.data, bytes);
    s.newImage = false;
    out = s.record;
    out.data = bytes ? s.handOut.data() : nullptr;
    return true;
}

// ---------------------------------------------------------------- threads

namespace {

std::uint8_t CurrentRotation(OwnerGate& gate) {
    std::lock_guard<std::mutex> lk(gate.mutex);
    return gate.dev ? gate.dev->ctrl.rgbRotation.load() : 0;
}

void RgbReceiveMain(const std::shared_ptr<RgbShared>& s, const std::shared_ptr<ThreadFlags>& flags, net::Socket sock) {
    try {
        RgbAssembly assembly;
        RgbFrame frame;
        std::vector<std::uint8_t> buf(65536);
        while (flags->run.load()) {
            const int n = net::recvFrom(sock, buf.data(), buf.size(), nullptr);
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (!AssembleRgbFragment(buf.data(), static_cast<std::size_t>(n), assembly, frame)) continue;
            if (frame.bytes.empty()) continue;
            {
                std::lock_guard<std::mutex> lk(s->slotMutex);
                s->slot = std::move(frame);  // an unprocessed older frame is replaced
                s->newFrame = true;
            }
            frame = RgbFrame();
            s->slotCv.notify_all();
        }
    } catch (...) {
        // Out of memory: end like a stopped thread.
    }
    flags->exit.store(true);
}

void RgbProcessMain(const std::shared_ptr<RgbShared>& s, const std::shared_ptr<ThreadFlags>& flags,
                    const std::shared_ptr<OwnerGate>& gate) {
    while (flags->run.load()) {
        try {
            RgbFrame frame;
            {
                std::unique_lock<std::mutex> lk(s->slotMutex);
                if (!s->slotCv.wait_for(lk, std::chrono::milliseconds(150), [&] { return s->newFrame; })) {
                    lk.unlock();
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                s->newFrame = false;
                frame = std::move(s->slot);
                s->slot = RgbFrame();
            }
            RgbDelivery delivery;
            {
                std::lock_guard<std::mutex> in(s->inputMutex);
                ProcessRgbFrame(*s, frame, CurrentRotation(*gate), &delivery);
            }
            // Called with no library lock held, so that the callback may call
            // into the library without lock-order cycles through the registry.
            if (delivery.callback) {
                const DeviceRecord* dev = gate->get();
                if (dev) {
                    CallbackScope scope(dev);
                    StreamCallbackMark mark(StreamCallbackMark::Rgb, dev);
                    delivery.callback(delivery.record);
                }
            }
        } catch (...) {
            // A frame OpenCV cannot handle (or no memory for it) is dropped.
        }
    }
    flags->exit.store(true);
}


std::int32_t StopRgbStream(DeviceRecord& dev) {
    ImuRgbState& st = dev.ctrl.imuRgb;
    std::lock_guard<std::mutex> lk(st.controlMutex);
    st.rgbProcFlags->run.store(false);
    const bool recv = StopStreamThread(*st.rgbRecvFlags);
    const bool proc = StopStreamThread(*st.rgbProcFlags);
    return recv && proc ? RC_OK : RC_GENERAL_ERROR;
}

std::int32_t SetUndistortion(DeviceRecord& dev, bool enable) {
    RgbShared& s = *dev.ctrl.imuRgb.rgb;
    std::lock_guard<std::mutex> lk(s.inputMutex);
    if (!enable) {
        s.undistort.store(false);
        return RC_OK;
    }
    float record[10];
    std::memcpy(record, s.intrinsics, sizeof record);
    if (QueryIntrinsics(dev.ctrl, record) != 0 || !IntrinsicsUsable(record)) {
        s.undistort.store(false);
        return RC_GENERAL_ERROR;
    }
    std::memcpy(s.intrinsics, record, sizeof record);
    s.undistort.store(true);
    return RC_OK;
}

}  // namespace

std::int32_t StartRgbStream(DeviceRecord& dev) {
    ImuRgbState& st = dev.ctrl.imuRgb;
    std::lock_guard<std::mutex> lk(st.controlMutex);
    // Both are asked at once; each new thread has its own flags, so one that
    // has not ended yet cannot keep running alongside its successor.
    st.rgbRecvFlags->run.store(false);
    st.rgbProcFlags->run.store(false);
    if (StopStreamThread(*st.rgbRecvFlags)) StopStreamThread(*st.rgbProcFlags);
    {
        std::lock_guard<std::mutex> g(st.gate->mutex);
        st.gate->dev = &dev;
    }
    auto recvFlags = std::make_shared<ThreadFlags>();
    auto procFlags = std::make_shared<ThreadFlags>();
    recvFlags->run.store(true);
    recvFlags->exit.store(false);
    procFlags->run.store(true);
    procFlags->exit.store(false);
    const net::Socket sock = dev.ctrl.dataSocket;
    auto rgb = st.rgb;
    auto gate = st.gate;
    if (!LaunchDetached([rgb, recvFlags, sock] { RgbReceiveMain(rgb, recvFlags, sock); })) {
        recvFlags->run.store(false);
        recvFlags->exit.store(true);
        return RC_RGB_START_FAILED;
    }
    st.rgbRecvFlags = recvFlags;
    if (!LaunchDetached([rgb, procFlags, gate] { RgbProcessMain(rgb, procFlags, gate); })) {
        procFlags->run.store(false);
        procFlags->exit.store(true);
        StopStreamThread(*recvFlags);
        return RC_RGB_START_FAILED;
    }
    st.rgbProcFlags = procFlags;
    return RC_OK;
}

}  // namespace orb

extern "C" {

int32_t ZelOrbStartDeviceRgbStream(const char* ip) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        // Would wait for the thread that runs the callback.
        if (orb::InOwnRgbCallback(ip)) return RC_GENERAL_ERROR;
        return orb::WithDeviceShared(ip, [](orb::DeviceRecord& dev) { return orb::StartRgbStream(dev); });
    });
}

int32_t ZelOrbStopDeviceRgbStream(const char* ip) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        if (orb::InOwnRgbCallback(ip)) return RC_GENERAL_ERROR;
        return orb::WithDeviceShared(ip, [](orb::DeviceRecord& dev) { return orb::StopRgbStream(dev); });
    });
}

int32_t ZelOrbGetRgb(const char* ip, ZelOrbRgbData* data) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        return orb::WithDeviceShared(ip, [&](orb::DeviceRecord& dev) -> int32_t {
            if (!data) return RC_INVALID_TARGET;
            return orb::TakeRgbImage(*dev.ctrl.imuRgb.rgb, *data, std::chrono::milliseconds(200))
                       ? RC_OK
                       : RC_RGB_GET_FAILED;
        });
    });
}

int32_t ZelOrbRegisterCallbackUpdateRgb(const char* ip, ZelOrbRgbCallback callback) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        return orb::WithDeviceShared(ip, [&](orb::DeviceRecord& dev) -> int32_t {
            orb::RgbShared& s = *dev.ctrl.imuRgb.rgb;
            std::lock_guard<std::mutex> lk(s.outputMutex);
            if (!callback) return RC_CALLBACK_REGISTER_FAILED;
            s.callback = callback;
            return RC_OK;
        });
    });
}

int32_t ZelOrbSetRgbUndistortion(const char* ip, bool enable) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        return orb::WithDeviceShared(ip, [&](orb::DeviceRecord& dev) { return orb::SetUndistortion(dev, enable); });
    });
}

}  // extern "C"
