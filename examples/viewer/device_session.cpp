#include "device_session.h"

#include <algorithm>
#include <cstring>

#include "client/export.h"
#include "client/simulator_launch.h"

namespace orbviewer {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kFramePoints = ZEL_ORB_FRAME_POINTS;
constexpr std::uint16_t kMaxFound = 16;
constexpr auto kPumpWait = std::chrono::milliseconds(5);

// Six-axis data bytes are the camera's own; shown as six little-endian
// 16-bit words, the usual layout of a six-axis sample.
constexpr int kSixAxisWords = 6;

std::string text(const char* buffer, std::size_t size) { return std::string(buffer, strnlen(buffer, size)); }

// Dotted-decimal IPv4 text, as the library takes it.
bool isIpv4(const std::string& s) {
    int parts = 0;
    std::size_t i = 0;
    while (i <= s.size()) {
        std::size_t j = i;
        while (j < s.size() && j - i < 4 && s[j] >= '0' && s[j] <= '9') ++j;
        if (j == i || j - i > 3 || std::stoi(s.substr(i, j - i)) > 255) return false;
        ++parts;
        if (j == s.size()) return parts == 4;
        if (s[j] != '.' || parts == 4) return false;
        i = j + 1;
    }
    return false;
}

}  // namespace

std::atomic<Session*> Session::active_{nullptr};

void Series::push(double when, const float* v, std::size_t n, double keepSeconds) {
    if (values.size() != n) {
        values.assign(n, {});
        t.clear();
    }
    t.push_back(when);
    for (std::size_t i = 0; i < n; ++i) values[i].push_back(v[i]);
    while (!t.empty() && t.front() < when - keepSeconds) {
        t.pop_front();
        for (auto& c : values) c.pop_front();
    }
}

Session::Session(MessageLog& log) : log_(log), callbackFrame_(kFramePoints) {
    // The library's callbacks carry no context: one session per process.
    Session* none = nullptr;
    if (!active_.compare_exchange_strong(none, this)) log_.add(Severity::Error, "a second viewer session was created");
    latest_.first.resize(kFramePoints);
}

Session::~Session() {
    shutdown();
    Session* self = this;
    active_.compare_exchange_strong(self, nullptr);
}

double Session::now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

SessionStatus Session::status() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return status_;
}

std::string Session::connectedIp() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return status_.connected ? status_.endpoint.ip : std::string();
}

Session::Counts Session::counts() const {
    return {published_.load(), drawn_.load(), notDrawn_.load(), rgbCount_.load(), imuCount_.load(), sixCount_.load()};
}

bool Session::streamStatistics(ZelOrbStreamStatistics& out) const {
    const std::string ip = connectedIp();
    out = {};
    out.size = sizeof out;
    return !ip.empty() && ZelOrbGetStreamStatistics(ip.c_str(), &out) == RC_OK;
}

// ------------------------------------------------------------ requests

void Session::onCamera(const std::string& label, std::string key, std::function<void(const std::string&)> call) {
    tasks_.post(
        label,
        [this, label, call] {
            const std::string ip = connectedIp();
            if (ip.empty())
                log_.add(Severity::Warning, label + ": no camera is connected");
            else
                call(ip);
        },
        std::move(key));
}

bool Session::doFindActive(std::vector<FoundCamera>& out) {
    ZelOrbFoundDevice found[kMaxFound];
    std::memset(found, 0, sizeof found);
    std::int32_t count = 0;
    if (!ZelOrbActiveFindDevice(found, kMaxFound, &count) || count <= 0) return false;
    for (int i = 0; i < std::min<int>(count, kMaxFound); ++i)
        out.push_back({text(found[i].dev_ip, sizeof found[i].dev_ip), text(found[i].host_ip, sizeof found[i].host_ip)});
    return true;
}

void Session::findCameras(const std::string& localIp) {
    tasks_.post("Searching for cameras", [this, localIp] {
        std::vector<FoundCamera> found;
        doFindActive(found);
        if (!localIp.empty()) {
            std::int32_t n = 0;
            const ZelOrbNetInfo* list = ZelOrbPassiveFindDevice(localIp.c_str(), &n);
            for (int i = 0; list && i < n; ++i)
                found.push_back({text(list[i].lidar_ip, sizeof list[i].lidar_ip),
                                 text(list[i].host_ip, sizeof list[i].host_ip), true, list[i].lidar_port,
                                 list[i].host_port});
        }
        log_.add(found.empty() ? Severity::Warning : Severity::Info,
                 found.empty() ? std::string("No camera answered") : std::to_string(found.size()) + " camera(s) found");
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_.found = std::move(found);
    });
}

void Session::connect(const Endpoint& e) {
    // A mistyped address must not cost the camera that is connected.
    for (const std::string* a : {&e.ip, &e.hostIp})
        if (!(a->empty() && a == &e.hostIp) && !isIpv4(*a)) {
            log_.add(Severity::Error, "\"" + *a + "\" is no IPv4 address: " + ZelOrbReturnCodeToString(RC_INVALID_TARGET));
            return;
        }
    tasks_.post("Connecting to " + e.ip, [this, e] { doConnect(e); });
}

void Session::connectFirstFound(const Endpoint& defaults, std::shared_ptr<const orbsim::Scene> scene) {
    tasks_.post("Searching for cameras", [this, defaults, scene] {
        std::vector<FoundCamera> found;
        if (doFindActive(found)) {
            {
                std::lock_guard<std::mutex> lock(statusMutex_);
                status_.found = found;
            }
            Endpoint e = defaults;
            e.ip = found.front().ip;
            if (e.hostIp.empty()) e.hostIp = found.front().hostIp;
            doConnect(e);
        } else {
            log_.add(Severity::Info, "No camera answered");
            doStartSimulator(defaults, scene);
        }
    });
}

void Session::startSimulator(const Endpoint& defaults, std::shared_ptr<const orbsim::Scene> scene) {
    tasks_.post("Starting the built-in simulator", [this, defaults, scene] { doStartSimulator(defaults, scene); });
}

void Session::doStartSimulator(const Endpoint& defaults, std::shared_ptr<const orbsim::Scene> scene) {
    doDisconnect();
    simulator_.reset();
    Endpoint e = defaults;
    e.ip = "127.0.0.2";
    e.hostIp = "127.0.0.1";
    std::string error;
    simulator_ = orbclient::startBuiltInSimulator(e.ip, e.hostIp, e.hostPort, e.sourcePort, error, std::move(scene));
    if (!simulator_) {
        log_.add(Severity::Error, "The simulator could not start: " + error);
        return;
    }
    log_.add(Severity::Info, "Built-in simulator: virtual camera " + e.ip + " streaming to " + e.hostIp + ":" +
                                 std::to_string(e.hostPort));
    doConnect(e);
    std::lock_guard<std::mutex> lock(statusMutex_);
    status_.simulator = status_.connected;
}

void Session::doConnect(const Endpoint& requested) {
    doDisconnect();
    Endpoint e = requested;
    if (e.hostIp.empty()) e.hostIp = "0.0.0.0";
    if (!receiving_ || receivingOn_.hostIp != e.hostIp || receivingOn_.hostPort != e.hostPort) {
        if (receiving_) ZelOrbStopReceiveData();
        receiving_ = false;
        const std::int32_t rc = ZelOrbStartReceiveData(e.hostIp.c_str(), e.hostPort);
        if (rc == RC_GENERAL_ERROR) {
            log_.add(Severity::Warning, libraryResult("ZelOrbStartReceiveData", rc) +
                                            ": the control socket did not open, so configuration calls will fail");
        } else if (rc != RC_OK) {
            log_.add(Severity::Error, libraryResult("ZelOrbStartReceiveData", rc) + " on " + e.hostIp + ":" +
                                          std::to_string(e.hostPort));
            return;
        }
        receiving_ = true;
        receivingOn_ = e;
    }
    const char* ip = e.ip.c_str();
    std::int32_t rc = ZelOrbConnectDevice(ip, e.sourcePort);
    if (rc == RC_HANDSHAKE_FAILED) {
        ZelOrbDisconnectDevice(ip);  // it stays registered otherwise
        log_.add(Severity::Error, libraryResult("ZelOrbConnectDevice", rc) + ": " + e.ip + " did not answer");
        return;
    }
    if (rc != RC_OK && rc != RC_DEVICE_EXISTS) {
        log_.add(Severity::Error, libraryResult("ZelOrbConnectDevice", rc) + " for \"" + e.ip + "\"");
        return;
    }
    log_.add(Severity::Info, "Connected to " + e.ip);

    DeviceFacts f;
    char a[64] = {0}, b[64] = {0};
    if ((rc = ZelOrbGetDeviceSerialNumber(ip, reinterpret_cast<std::uint8_t*>(a), sizeof a)) == 0)
        f.serial = a;
    else
        log_.add(Severity::Warning, deviceResult("ZelOrbGetDeviceSerialNumber", rc));
    std::memset(a, 0, sizeof a);
    if ((rc = ZelOrbGetDeviceType(ip, reinterpret_cast<std::uint8_t*>(a), sizeof a)) == 0)
        f.type = a;
    else
        log_.add(Severity::Warning, deviceResult("ZelOrbGetDeviceType", rc));
    std::memset(a, 0, sizeof a);
    if ((rc = ZelOrbGetDeviceSoftwareVersion(ip, a, b, sizeof a)) == 0) {
        f.version1 = a;
        f.version2 = b;
    } else {
        log_.add(Severity::Warning, deviceResult("ZelOrbGetDeviceSoftwareVersion", rc));
    }
    f.rgbPresent = ZelGetDeviceRgbEnabled(ip);
    f.rgbRotated = ZelGetDeviceRgbRotation(ip);

    ZelOrbRegisterCallbackUpdateFrame(ip, &Session::onFrame);
    ZelOrbRegisterCallbackUpdate6AxisImuData(ip, &Session::onSixAxis);
    if ((rc = ZelOrbStartDevice9AxisImuStream(ip)) != RC_OK)
        log_.add(Severity::Warning, libraryResult("ZelOrbStartDevice9AxisImuStream", rc));
    bool fusion = false;
    if (f.rgbPresent) {
        if ((rc = ZelOrbStartDeviceRgbStream(ip)) != RC_OK)
            log_.add(Severity::Warning, libraryResult("ZelOrbStartDeviceRgbStream", rc));
        rc = ZelOrbInitRGBDFusionParam(ip);
        fusion = rc == RC_OK;
        if (!fusion) log_.add(Severity::Warning, libraryResult("ZelOrbInitRGBDFusionParam", rc));
    }
    ZelOrbNetInfo ni{};
    const std::int32_t netRc = ZelOrbGetNetInfo(ip, &ni);
    if (netRc != RC_OK) log_.add(Severity::Warning, libraryResult("ZelOrbGetNetInfo", netRc));
    fusionReady_ = fusion;
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_.connected = true;
        status_.simulator = false;
        status_.endpoint = e;
        status_.facts = f;
        status_.netInfoValid = netRc == RC_OK;
        status_.netInfo = ni;
        status_.fusionReady = fusion;
        status_.undistortion = false;
        status_.connectedAt = status_.lastFrameAt = Clock::now();
        ++status_.connection;
    }
    startThreads(e.ip);
}

void Session::disconnect() {
    tasks_.post("Disconnecting", [this] {
        doDisconnect();
        simulator_.reset();
    });
}

void Session::doDisconnect() {
    const std::string ip = connectedIp();
    if (ip.empty()) return;
    stopThreads();
    ZelOrbStopDeviceRgbStream(ip.c_str());
    ZelOrbStopDevice9AxisImuStream(ip.c_str());
    const std::int32_t rc = ZelOrbDisconnectDevice(ip.c_str());
    log_.add(rc == RC_OK ? Severity::Info : Severity::Warning,
             rc == RC_OK ? "Disconnected from " + ip : libraryResult("ZelOrbDisconnectDevice", rc));
    fusionReady_ = false;
    std::lock_guard<std::mutex> lock(statusMutex_);
    SessionStatus cleared;
    cleared.found = std::move(status_.found);
    cleared.connection = status_.connection;
    status_ = std::move(cleared);
}

void Session::shutdown() {
    tasks_.stop();
    doDisconnect();
    if (receiving_) ZelOrbStopReceiveData();
    receiving_ = false;
    simulator_.reset();
}

void Session::readNetInfo() {
    onCamera("Reading network settings", "net", [this](const std::string& ip) {
        ZelOrbNetInfo ni{};
        const std::int32_t rc = ZelOrbGetNetInfo(ip.c_str(), &ni);
        if (rc != RC_OK) {
            log_.add(Severity::Error, libraryResult("ZelOrbGetNetInfo", rc));
            return;
        }
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_.netInfo = ni;
        status_.netInfoValid = true;
    });
}

void Session::writeNetInfo(const ZelOrbNetInfo& info) {
    onCamera("Writing network settings", "", [this, info](const std::string& ip) {
        const std::int32_t rc = ZelOrbSetNetInfo(ip.c_str(), &info);
        log_.add(rc == RC_OK ? Severity::Info : Severity::Error,
                 rc == RC_OK ? "Network settings written to the camera"
                             : libraryResult("ZelOrbSetNetInfo", rc));
    });
    readNetInfo();
}

void Session::setEchoMode(int mode) {
    onCamera(mode == 1 ? "Switching to dual echo" : "Switching to single echo", "mode", [this, mode](const std::string& ip) {
        const std::int32_t rc = ZelOrbSetDeviceMode(ip.c_str(), mode);
        log_.add(rc == RC_OK ? Severity::Info : Severity::Error,
                 rc == RC_OK ? std::string(mode == 1 ? "Dual echo" : "Single echo") + " mode set"
                             : libraryResult("ZelOrbSetDeviceMode", rc));
    });
}

void Session::setUndistortion(bool on) {
    onCamera("RGB undistortion", "undistort", [this, on](const std::string& ip) {
        const std::int32_t rc = ZelOrbSetRgbUndistortion(ip.c_str(), on);
        if (rc != RC_OK) log_.add(Severity::Error, libraryResult("ZelOrbSetRgbUndistortion", rc));
        std::lock_guard<std::mutex> lock(statusMutex_);
        status_.undistortion = on && rc == RC_OK;
    });
}

// Filter setters answer with library codes; refusals are logged with their text.
void Session::filterCall(const char* name, const char* key, std::function<std::int32_t(const char*)> call) {
    onCamera(name, key, [this, name, call](const std::string& ip) {
        const std::int32_t rc = call(ip.c_str());
        if (rc != RC_OK) log_.add(Severity::Error, libraryResult(name, rc));
    });
}

void Session::setDistanceWindow(bool on, std::uint32_t min, std::uint32_t max) {
    filterCall("ZelOrbSetDistanceFiltering", "distance",
               [=](const char* ip) { return ZelOrbSetDistanceFiltering(ip, on, min, max); });
}
void Session::setDistanceCompensation(bool on) {
    filterCall("ZelOrbSetDistanceCompensationEnabled", "compensation",
               [=](const char* ip) { return ZelOrbSetDistanceCompensationEnabled(ip, on); });
}
void Session::setIntensityFilter(bool on, std::vector<double> d, std::vector<double> i) {
    const auto n = static_cast<std::uint16_t>(std::min(d.size(), i.size()));
    filterCall("ZelOrbSetIntensityFiltering", "intensity",
               [=](const char* ip) { return ZelOrbSetIntensityFiltering(ip, on, d.data(), i.data(), n); });
}
void Session::setSpatialFilter(bool on, int size) {
    filterCall("ZelOrbSetSpatialFilter", "spatial", [=](const char* ip) { return ZelOrbSetSpatialFilter(ip, on, size); });
}
void Session::setTimeMedianFilter(bool on, int count, int threshold) {
    filterCall("ZelOrbSetTimeMedianFilter", "timemedian",
               [=](const char* ip) { return ZelOrbSetTimeMedianFilter(ip, on, count, threshold); });
}
void Session::setFlyingFilter(bool on, int threshold) {
    filterCall("ZelOrbSetFlyingFilter", "flying", [=](const char* ip) { return ZelOrbSetFlyingFilter(ip, on, threshold); });
}

void Session::setAngleMeasure(bool on, const AngleMeasureParams& p) {
    tasks_.post(
        "Angle measurement",
        [this, on, p] {
            const bool exists = ZelOrbEnableAngleMeasure(on, &p) == 1;
            if (on && !exists) log_.add(Severity::Error, "ZelOrbEnableAngleMeasure: the measurement was not set up");
            {
                std::lock_guard<std::mutex> lock(imuMutex_);
                angles_.clear();
            }
            angleOn_ = exists;
        },
        "angle");
}

void Session::save(std::shared_ptr<const FrameBundle> frame, std::shared_ptr<const RgbImage> rgb, const std::string& ply,
                   const std::string& depth, const std::string& intensity, const std::string& rgbPng) {
    tasks_.post("Saving", [=] {
        auto report = [this](bool ok, const std::string& what, const std::string& path) {
            log_.add(ok ? Severity::Info : Severity::Error, (ok ? "Saved " : "Could not write ") + what + " " + path);
        };
        const bool haveFrame = frame && frame->first.size() == kFramePoints && frame->seq > 0;
        if ((!ply.empty() || !depth.empty() || !intensity.empty()) && !haveFrame)
            log_.add(Severity::Error, "No frame to save yet");
        if (haveFrame) {
            const ZelOrbPointData* f = frame->first.data();
            if (!ply.empty()) {
                const long n = orbclient::writePly(ply, f, frame->hasColours ? frame->colours.data() : nullptr);
                report(n >= 0, std::string(frame->hasColours ? "coloured " : "") + "point cloud (" +
                                   std::to_string(n) + " points) to",
                       ply);
            }
            if (!depth.empty()) report(orbclient::writeDepthPng(depth, f), "depth image to", depth);
            if (!intensity.empty()) report(orbclient::writeIntensityPng(intensity, f), "intensity image to", intensity);
        }
        if (!rgbPng.empty()) {
            if (!rgb || rgb->pixels.empty()) {
                log_.add(Severity::Error, "No RGB image to save yet");
            } else {
                ZelOrbRgbData img{};
                img.width = static_cast<std::uint32_t>(rgb->width);
                img.height = static_cast<std::uint32_t>(rgb->height);
                img.channels = 3;
                img.size = rgb->pixels.size();
                img.data = const_cast<std::uint8_t*>(rgb->pixels.data());  // the writer only reads
                report(orbclient::writeRgbPng(rgbPng, img), "RGB image to", rgbPng);
            }
        }
    });
}

// ------------------------------------------------------------ streams

void Session::onFrame(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    Session* s = active_.load();
    if (!s || !s->streaming_) return;
    {
        std::lock_guard<std::mutex> lock(s->callbackMutex_);
        if (s->callbackFrame_.size() != kFramePoints) s->callbackFrame_.resize(kFramePoints);
        std::memcpy(s->callbackFrame_.data(), frame, kFramePoints * sizeof(ZelOrbPointData));
        s->callbackSeq_ = ++s->published_;
    }
    s->callbackCv_.notify_one();
}

void Session::onSixAxis(ZelOrb6AxisImuData data) {
    Session* s = active_.load();
    if (!s || !s->streaming_) return;
    float v[kSixAxisWords];
    for (int i = 0; i < kSixAxisWords; ++i)
        v[i] = static_cast<float>(static_cast<std::int16_t>(data.data[2 * i] | (data.data[2 * i + 1] << 8)));
    s->sixCount_++;
    std::lock_guard<std::mutex> lock(s->imuMutex_);
    s->six_.push(s->now(), v, kSixAxisWords, kImuWindowSeconds);
}

void Session::startThreads(const std::string& ip) {
    streaming_ = true;
    pump_ = std::thread([this, ip] { pumpFrames(ip); });
    rgbThread_ = std::thread([this, ip] { pollRgb(ip); });
    imuThread_ = std::thread([this, ip] { pollImu(ip); });
}

void Session::stopThreads() {
    streaming_ = false;
    callbackCv_.notify_all();
    for (std::thread* t : {&pump_, &rgbThread_, &imuThread_})
        if (t->joinable()) t->join();
}

void Session::pumpFrames(std::string ip) {
    FrameBundle work;
    std::uint64_t seen;
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        seen = callbackSeq_;
    }
    while (streaming_) {
        work.first.resize(kFramePoints);
        work.second.resize(kFramePoints);
        bool got = false;
        {
            // Single echo: frames come through the callback, so every
            // published frame is counted even when two come close together.
            std::unique_lock<std::mutex> lock(callbackMutex_);
            callbackCv_.wait_for(lock, kPumpWait, [&] { return callbackSeq_ != seen || !streaming_; });
            if (callbackSeq_ != seen) {
                std::swap(callbackFrame_, work.first);
                seen = work.seq = callbackSeq_;
                work.dual = false;
                got = true;
            }
        }
        if (!got) {
            // Dual echo publishes no callback: poll for echo pairs.
            auto* a = reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(work.first.data());
            auto* b = reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(work.second.data());
            if (ZelOrbGetDualEchoPointCloud(ip.c_str(), a, b) != RC_OK) continue;
            work.seq = ++published_;
            work.dual = true;
        }
        if (angleOn_) {
            float angle = 0.0f;
            const AngleResult r = ZelOrbGetPlaneAngle(work.first.data(), &angle);
            std::lock_guard<std::mutex> lock(imuMutex_);
            angles_.push_back({now(), angle, r.code == 0, r.message ? r.message : ""});
            while (!angles_.empty() && angles_.front().t < angles_.back().t - kAngleWindowSeconds) angles_.pop_front();
        }
        work.hasColours = false;
        std::int32_t fusionRc = RC_OK;
        if (wantColours_ && fusionReady_ && !work.dual) {
            work.colours.assign(3 * kFramePoints, 128);  // points the image does not cover stay grey
            ZelOrbRgbData rec{};
            rec.data = work.colours.data();
            fusionRc = ZelOrbGetRGBDFusionData(ip.c_str(), &rec);
            work.hasColours = fusionRc == RC_OK;
        }
        {
            std::lock_guard<std::mutex> lock(statusMutex_);
            status_.lastFrameAt = Clock::now();
            status_.lastFusionResult = fusionRc;
        }
        {
            std::lock_guard<std::mutex> lock(frameMutex_);
            std::swap(latest_, work);
        }
        if (frameListener_) frameListener_();
    }
}

bool Session::takeFrame(FrameBundle& into) {
    std::lock_guard<std::mutex> lock(frameMutex_);
    if (latest_.seq <= lastTakenSeq_) return false;
    if (lastTakenSeq_ > 0) notDrawn_ += latest_.seq - lastTakenSeq_ - 1;
    lastTakenSeq_ = latest_.seq;
    drawn_++;
    std::swap(latest_, into);
    return true;
}

void Session::pollRgb(std::string ip) {
    while (streaming_) {
        ZelOrbRgbData img{};
        if (ZelOrbGetRgb(ip.c_str(), &img) != RC_OK) {  // waits up to 200 ms
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        rgbCount_++;
        if (!img.data || img.channels != 3 || img.size != std::uint64_t(img.width) * img.height * 3) continue;
        std::lock_guard<std::mutex> lock(rgbMutex_);
        rgb_.width = static_cast<int>(img.width);
        rgb_.height = static_cast<int>(img.height);
        rgb_.pixels.assign(img.data, img.data + img.size);
        rgb_.seq++;
    }
}

bool Session::takeRgb(RgbImage& into) {
    std::lock_guard<std::mutex> lock(rgbMutex_);
    if (rgb_.seq == into.seq || rgb_.pixels.empty()) return false;
    into.width = rgb_.width;
    into.height = rgb_.height;
    into.seq = rgb_.seq;
    std::swap(into.pixels, rgb_.pixels);  // the poller refills the old buffer
    return true;
}

void Session::pollImu(std::string ip) {
    while (streaming_) {
        ZelOrb9AxisImuData s{};
        if (ZelOrbGet9AxisImu(ip.c_str(), &s) != RC_OK) {  // waits up to 20 ms
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        imuCount_++;
        std::lock_guard<std::mutex> lock(imuMutex_);
        nine_.push(now(), s.axis, 9, kImuWindowSeconds);
    }
}

void Session::imuSeries(Series& nine, Series& six) const {
    std::lock_guard<std::mutex> lock(imuMutex_);
    nine = nine_;
    six = six_;
}

std::vector<AngleSample> Session::angles() const {
    std::lock_guard<std::mutex> lock(imuMutex_);
    return std::vector<AngleSample>(angles_.begin(), angles_.end());
}

}  // namespace orbviewer
