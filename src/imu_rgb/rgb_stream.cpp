#include "imu_rgb/rgb_stream.h"

#include <cstring>
#include <string>
#include <thread>

#include "control/config_commands.h"
#include "core/callback_mark.h"
#include "imu_rgb/imu_rgb_state.h"
#include "platform/net.h"

namespace orb {

namespace {

constexpr std::chrono::milliseconds kSlotWait{150};

// True when no reader holds the entry any more. The probe's copy updates the
// count with acquire-release order, so every reader's last use of the pixels
// (before it dropped its reference) happens before they are written again; a
// plain use_count() read would not order them.
bool onlyThePoolHolds(const RgbPixels& entry) {
    const RgbPixels probe = entry;
    return probe.use_count() == 2;
}

// A pool entry no one else holds, or a fresh one. Only the processing thread
// hands out references, so an entry found free stays free meanwhile.
RgbPixels& freeBuffer(RgbPixels (&pool)[3]) {
    for (RgbPixels& entry : pool) {
        if (!entry) entry = std::make_shared<cv::Mat>();
        if (onlyThePoolHolds(entry)) return entry;
    }
    pool[0] = std::make_shared<cv::Mat>();  // all still read elsewhere: they keep theirs, we take fresh pixels
    return pool[0];
}

}  // namespace

bool processRgbFrame(RgbShared& s, const RgbFrame& frame, std::uint8_t rotation, RgbDelivery* delivery) {
    const RgbPixels& decodeBuffer = freeBuffer(s.decodePool);
    const RgbDecode decoded = decodeRgbFrame(frame.header.format(), frame.bytes, *decodeBuffer);
    if (decoded == RgbDecode::Dropped) return false;
    const RgbPixels image = decoded == RgbDecode::Image ? decodeBuffer : std::make_shared<cv::Mat>();
    rotateRgbImage(*image, rotation);
    {
        std::lock_guard<std::mutex> lk(s.fusionMutex);
        s.fusionSource = image;  // shares the pixels; nobody writes them from here on
    }
    RgbImageRef published = image;
    if (s.undistort.load()) {
        const RgbPixels& into = freeBuffer(s.undistortPool);
        const cv::Mat undistorted = undistortRgbImage(*image, s.intrinsics, &s.maps, into.get());
        published = undistorted.empty() ? std::make_shared<const cv::Mat>() : into;
    }
    const bool hasPixels = !published->empty();
    {
        std::lock_guard<std::mutex> lk(s.outputMutex);
        s.image = published;
        ZelOrbRgbData& r = s.record;
        r.seconds = frame.header.seconds;
        r.microseconds = frame.header.microseconds;
        r.width = kRgbWidth;
        r.height = kRgbHeight;
        r.channels = 3;
        r.size = hasPixels ? published->total() * published->elemSize() : 0;
        r.frame_id = frame.header.frameId;
        r.data = hasPixels ? published->data : nullptr;
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

bool takeRgbImage(RgbShared& s, ZelOrbRgbData& out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(s.outputMutex);
    if (!s.outputCv.wait_until(lk, std::chrono::steady_clock::now() + timeout, [&] { return s.newImage; }))
        return false;
    // Copy first, so a failed allocation leaves the flag and the caller's record alone.
    const cv::Mat* image = s.image.get();
    const std::size_t bytes = image && !image->empty() ? image->total() * image->elemSize() : 0;
    s.handOut.resize(bytes);
    if (bytes) std::memcpy(s.handOut.data(), image->data, bytes);
    s.newImage = false;
    out = s.record;
    out.data = bytes ? s.handOut.data() : nullptr;
    return true;
}

std::int32_t setRgbUndistortion(RgbShared& s, ControlEndpoint& ctrl, bool enable) {
    std::lock_guard<std::mutex> lk(s.inputMutex);
    if (!enable) {
        s.undistort.store(false);
        return RC_OK;
    }
    float record[kIntrinsicRecord];
    std::memcpy(record, s.intrinsics, sizeof record);
    if (queryIntrinsics(ctrl, record) != 0 || !intrinsicsUsable(record)) {
        s.undistort.store(false);
        return RC_GENERAL_ERROR;
    }
    std::memcpy(s.intrinsics, record, sizeof record);
    s.undistort.store(true);
    return RC_OK;
}

// ---------------------------------------------------------------- threads

namespace {

std::uint8_t currentRotation(OwnerGate& gate) {
    std::lock_guard<std::mutex> lk(gate.mutex);
    return gate.ctrl ? gate.ctrl->rgbRotation.load() : 0;
}

void rgbReceiveMain(const std::shared_ptr<RgbShared>& s, const std::shared_ptr<ThreadFlags>& flags,
                    const StreamSocket& source) {
    try {
        RgbAssembly assembly;
        RgbFrame frame;
        std::vector<std::uint8_t> buf(kStreamReceiveArea);
        std::uint64_t abandonedSeen = 0;
        while (flags->run.load()) {
            const std::size_t n = receiveOrWait(source, buf);
            if (n == 0) continue;
            const bool complete = assembleRgbFragment(buf.data(), n, assembly, frame);
            if (assembly.abandoned != abandonedSeen) {
                s->imagesDropped.fetch_add(assembly.abandoned - abandonedSeen, std::memory_order_relaxed);
                abandonedSeen = assembly.abandoned;
            }
            if (!complete || frame.bytes.empty()) continue;
            s->imagesCompleted.fetch_add(1, std::memory_order_relaxed);
            {
                std::lock_guard<std::mutex> lk(s->slotMutex);
                // An unprocessed older frame is replaced.
                if (s->newFrame) s->imagesDropped.fetch_add(1, std::memory_order_relaxed);
                s->slot = std::move(frame);
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

void rgbProcessMain(const std::shared_ptr<RgbShared>& s, const std::shared_ptr<ThreadFlags>& flags,
                    const std::shared_ptr<OwnerGate>& gate) {
    while (flags->run.load()) {
        try {
            RgbFrame frame;
            {
                std::unique_lock<std::mutex> lk(s->slotMutex);
                s->slotCv.wait_for(lk, kSlotWait, [&] { return s->newFrame || !flags->run.load(); });
                if (!s->newFrame) continue;
                s->newFrame = false;
                frame = std::move(s->slot);
                s->slot = RgbFrame();
            }
            RgbDelivery delivery;
            bool published;
            {
                std::lock_guard<std::mutex> in(s->inputMutex);
                published = processRgbFrame(*s, frame, currentRotation(*gate), &delivery);
            }
            if (!published) s->imagesDropped.fetch_add(1, std::memory_order_relaxed);
            // Called with no library lock held, so that the callback may call
            // into the library without lock-order cycles through the registry.
            if (delivery.callback && gate->isOpen()) {
                CallbackMark mark(gate->deviceIp.c_str(), CallbackKind::Rgb);
                delivery.callback(delivery.record);
            }
        } catch (...) {
            // A frame OpenCV cannot handle (or no memory for it) is dropped.
            s->imagesDropped.fetch_add(1, std::memory_order_relaxed);
        }
    }
    flags->exit.store(true);
}

}  // namespace

void wakeRgbProcessing(RgbShared& rgb) {
    // Taking the mutex orders the cleared run flag before the waiter's next
    // look at its predicate.
    { std::lock_guard<std::mutex> lk(rgb.slotMutex); }
    rgb.slotCv.notify_all();
}

std::int32_t startRgbStream(ImuRgbState& st, const ControlEndpoint& ctrl) {
    std::lock_guard<std::mutex> lk(st.controlMutex);
    return startRgbStreamLocked(st, ctrl);
}

std::int32_t startRgbStreamLocked(ImuRgbState& st, const ControlEndpoint& ctrl) {
    // Both are asked at once; each new thread has its own flags, so one that
    // has not ended yet cannot keep running alongside its successor.
    st.rgbRecvFlags->run.store(false);
    st.rgbProcFlags->run.store(false);
    wakeRgbProcessing(*st.rgb);
    if (stopStreamThread(*st.rgbRecvFlags)) stopStreamThread(*st.rgbProcFlags);
    openGate(st, ctrl);
    const StreamSocket source{ctrl.dataSocket, ctrl.localData, &st.recorder};
    auto rgb = st.rgb;
    auto gate = st.gate;
    auto recvFlags =
        launchStreamThread([rgb, source](const std::shared_ptr<ThreadFlags>& own) { rgbReceiveMain(rgb, own, source); });
    if (!recvFlags) return RC_RGB_START_FAILED;
    st.rgbRecvFlags = recvFlags;
    auto procFlags =
        launchStreamThread([rgb, gate](const std::shared_ptr<ThreadFlags>& own) { rgbProcessMain(rgb, own, gate); });
    if (!procFlags) {
        stopStreamThread(*recvFlags);
        return RC_RGB_START_FAILED;
    }
    st.rgbProcFlags = procFlags;
    return RC_OK;
}

std::int32_t stopRgbStream(ImuRgbState& st) {
    std::lock_guard<std::mutex> lk(st.controlMutex);
    st.rgbProcFlags->run.store(false);
    wakeRgbProcessing(*st.rgb);
    const bool recv = stopStreamThread(*st.rgbRecvFlags);
    const bool proc = stopStreamThread(*st.rgbProcFlags);
    return recv && proc ? RC_OK : RC_GENERAL_ERROR;
}

}  // namespace orb
