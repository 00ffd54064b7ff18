#include "viewer_app.h"

#include <imgui.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace orbviewer {

namespace {

using Clock = std::chrono::steady_clock;
constexpr float kPanelWidth = 370.0f;
constexpr float kStatusHeight = 26.0f;
constexpr double kStallSeconds = 2.0;
const float kBackground[3] = {0.08f, 0.08f, 0.10f};
const ImU32 kChannelColours[6] = {IM_COL32(235, 80, 80, 255),  IM_COL32(80, 210, 90, 255),  IM_COL32(90, 140, 255, 255),
                                  IM_COL32(240, 200, 60, 255), IM_COL32(200, 90, 230, 255), IM_COL32(80, 220, 220, 255)};

ImTextureID tex(GLuint id) { return reinterpret_cast<ImTextureID>(static_cast<std::intptr_t>(id)); }

ImU32 toImColour(Rgb8 c) { return IM_COL32(c.r, c.g, c.b, 255); }

// Defaults that suit a wall a few metres ahead (the simulator's scenes).
AngleMeasureParams defaultAngleParams() {
    AngleMeasureParams p{};
    p.xLower = -200, p.xUpper = 200, p.yLower = -50, p.yUpper = 50;
    p.secondWindowWidth = 50, p.windowShift = 10, p.sliceHeight = 10;
    p.rangeMax = 400, p.rangeMin = 20, p.minSlicePoints = 30;
    p.angleTolerance = 30.0f, p.steepAngle = 45.0f, p.fullSearchAngle = 30.0f;
    return p;
}

// Curves of some channels of a series over the last `window` seconds.
void plot(const char* title, const Series& s, std::size_t first, std::size_t count, const char* const* names,
          double now, double window, ImVec2 size) {
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const ImVec2 p0 = ImGui::GetCursorScreenPos();
    const ImVec2 p1(p0.x + size.x, p0.y + size.y);
    ImGui::Dummy(size);
    dl->AddRectFilled(p0, p1, IM_COL32(20, 20, 26, 255));
    dl->AddRect(p0, p1, IM_COL32(80, 80, 90, 255));
    std::size_t start = 0;
    while (start < s.t.size() && s.t[start] < now - window) ++start;
    float lo = INFINITY, hi = -INFINITY;
    for (std::size_t c = first; c < first + count && c < s.values.size(); ++c)
        for (std::size_t i = start; i < s.values[c].size(); ++i)
            if (std::isfinite(s.values[c][i])) {
                lo = std::min(lo, s.values[c][i]);
                hi = std::max(hi, s.values[c][i]);
            }
    char label[96];
    std::snprintf(label, sizeof label, "%s", title);
    dl->AddText(ImVec2(p0.x + 4, p0.y + 2), IM_COL32(220, 220, 220, 255), label);
    if (!(lo <= hi)) {
        dl->AddText(ImVec2(p0.x + 4, p0.y + 18), IM_COL32(150, 150, 150, 255), "no data in the last seconds");
        return;
    }
    if (hi - lo < 1e-6f) {
        lo -= 1.0f;
        hi += 1.0f;
    }
    const float top = p0.y + 18, bottom = p1.y - 14, left = p0.x + 2, right = p1.x - 2;
    auto X = [&](double t) { return static_cast<float>(right - (now - t) / window * (right - left)); };
    auto Y = [&](float v) { return bottom - (v - lo) / (hi - lo) * (bottom - top); };
    const std::size_t n = s.t.size() - start;
    const std::size_t step = std::max<std::size_t>(1, n / static_cast<std::size_t>(2 * size.x + 1));
    std::vector<ImVec2> pts;
    for (std::size_t c = first; c < first + count && c < s.values.size(); ++c) {
        pts.clear();
        for (std::size_t i = start; i < s.t.size(); i += step) pts.emplace_back(X(s.t[i]), Y(s.values[c][i]));
        const ImU32 colour = kChannelColours[(c - first) % 6];
        if (pts.size() > 1) dl->AddPolyline(pts.data(), static_cast<int>(pts.size()), colour, 0, 1.5f);
        // Values only while they fit beside the title.
        if (count <= 3)
            std::snprintf(label, sizeof label, "%s %.4g", names[c - first], s.values[c].back());
        else
            std::snprintf(label, sizeof label, "%s", names[c - first]);
        const float legend = std::max(120.0f, ImGui::CalcTextSize(title).x + 20.0f);
        const float slot = (size.x - legend) / static_cast<float>(count);
        dl->AddText(ImVec2(p0.x + legend + slot * static_cast<float>(c - first), p0.y + 2), colour, label);
    }
    std::snprintf(label, sizeof label, "%.4g", hi);
    dl->AddText(ImVec2(right - ImGui::CalcTextSize(label).x - 2, top), IM_COL32(160, 160, 160, 255), label);
    std::snprintf(label, sizeof label, "%.4g", lo);
    dl->AddText(ImVec2(right - ImGui::CalcTextSize(label).x - 2, bottom - 13), IM_COL32(160, 160, 160, 255), label);
    std::snprintf(label, sizeof label, "-%.0f s", window);
    dl->AddText(ImVec2(left + 2, bottom), IM_COL32(160, 160, 160, 255), label);
    dl->AddText(ImVec2(right - 24, bottom), IM_COL32(160, 160, 160, 255), "now");
}

// A horizontal colour bar from lo to hi with its end values.
void scaleBar(float lo, float hi, const char* unit, float width) {
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const ImVec2 p = ImGui::GetCursorScreenPos();
    constexpr int kSteps = 64;
    const float h = 12.0f;
    for (int i = 0; i < kSteps; ++i) {
        const float a = width * static_cast<float>(i) / kSteps, b = width * static_cast<float>(i + 1) / kSteps;
        dl->AddRectFilled(ImVec2(p.x + a, p.y), ImVec2(p.x + b + 1, p.y + h),
                          toImColour(mapColour(static_cast<float>(i) + 0.5f, 0.0f, kSteps)));
    }
    ImGui::Dummy(ImVec2(width, h));
    ImGui::Text("%.3g %s", lo, unit);
    ImGui::SameLine(std::max(0.0f, width - 80.0f));
    ImGui::Text("%.3g %s", hi, unit);
}

bool inputIp(const char* label, char* buffer, std::size_t size) {
    return ImGui::InputText(label, buffer, size, ImGuiInputTextFlags_CharsDecimal | ImGuiInputTextFlags_CharsNoBlank);
}

}  // namespace

ViewerApp::ViewerApp(Session& session, MessageLog& log, const ViewerOptions& o,
                     std::shared_ptr<const orbsim::Scene> simScene)
    : session_(session), log_(log), simScene_(std::move(simScene)), camera_(kDefaultUnitsPerMetre), colour_(o.colour), selectView_(o.view) {
    std::snprintf(ip_, sizeof ip_, "%s", o.ip.c_str());
    std::snprintf(hostIp_, sizeof hostIp_, "%s", o.hostIp.c_str());
    hostPort_ = o.hostPort;
    sourcePort_ = o.sourcePort;
    angle_ = defaultAngleParams();
}

bool ViewerApp::init(std::string& error) {
    if (!renderer_.init(error)) return false;
    // One draw now: a software renderer compiles its shaders at the first one.
    renderer_.setPoints({{1, 0, 0, 255, 255, 255, 255}});
    renderer_.render(16, 16, camera_.viewProjection(1.0f), pointSize_, kBackground);
    glFinish();
    return true;
}

float ViewerApp::scaleLo() const {
    switch (colour_) {
    case ColourMode::Height: return heightM_[0] * unitsPerMetre_;
    case ColourMode::Intensity: return intensity_[0];
    default: return rangeM_[0] * unitsPerMetre_;
    }
}

float ViewerApp::scaleHi() const {
    switch (colour_) {
    case ColourMode::Height: return heightM_[1] * unitsPerMetre_;
    case ColourMode::Intensity: return intensity_[1];
    default: return rangeM_[1] * unitsPerMetre_;
    }
}

void ViewerApp::tick(double seconds) {
    const Session::Counts c = session_.counts();
    auto rate = [seconds](std::uint64_t now, std::uint64_t before) {
        return static_cast<std::uint64_t>(std::llround(static_cast<double>(now - before) / seconds));
    };
    rates_ = {rate(c.published, lastCounts_.published), rate(c.drawn, lastCounts_.drawn), c.notDrawn,
              rate(c.rgb, lastCounts_.rgb), rate(c.imu, lastCounts_.imu), rate(c.sixAxis, lastCounts_.sixAxis)};
    lastCounts_ = c;
    uiRate_ = uiFrames_ / seconds;
    uiFrames_ = 0;
}

std::vector<HealthRow> ViewerApp::healthRows() const {
    auto n = [](double v) {
        char b[32];
        std::snprintf(b, sizeof b, "%.0f", v);
        return std::string(b);
    };
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f ms", buildMs_);
    const Session::Counts total = session_.counts();
    std::vector<HealthRow> rows = {
        {"frames/s (camera)", n(static_cast<double>(rates_.published))},
        {"frames/s (drawn)", n(static_cast<double>(rates_.drawn))},
        {"frames not drawn", n(static_cast<double>(total.notDrawn))},
        {"points in the frame", n(static_cast<double>(framePoints_))},
        {"RGB images/s", n(static_cast<double>(rates_.rgb))},
        {"IMU samples/s", n(static_cast<double>(rates_.imu))},
        {"six-axis records/s", n(static_cast<double>(rates_.sixAxis))},
        {"window frames/s", n(uiRate_)},
        {"colour + upload", ms},
    };
    ZelOrbStreamStatistics st;
    if (session_.streamStatistics(st)) {
        const double datagramDrops = static_cast<double>(st.dropped_queue_full + st.dropped_wrong_port +
                                                         st.dropped_length + st.dropped_bad_magic +
                                                         st.dropped_bad_data_type + st.dropped_bad_version);
        rows.push_back({"datagrams received", n(static_cast<double>(st.datagrams))});
        rows.push_back({"datagrams dropped", n(datagramDrops)});
        rows.push_back({"frames dropped (queue full)", n(static_cast<double>(st.frames_dropped_queue_full))});
        rows.push_back({"frames missing packets", n(static_cast<double>(st.frames_missing_packets))});
        rows.push_back({"receive buffer (KiB)", n(static_cast<double>(st.receive_buffer_bytes) / 1024)});
    }
    return rows;
}

bool ViewerApp::sceneRect(int& x, int& y, int& w, int& h) const {
    if (sceneW_ <= 0) return false;
    x = sceneX_, y = sceneY_, w = sceneW_, h = sceneH_;
    return true;
}

// New data only marks what it changes; each view does its work when shown.
void ViewerApp::takeData() {
    session_.wantColours(colour_ == ColourMode::Rgb);
    if (session_.takeFrame(frame_)) {
        pointsDirty_ = depthDirty_ = intensityDirty_ = true;
        // The frames tell the camera's echo mode, unless a switch was just asked for.
        if (Clock::now() - echoAskedAt_ > std::chrono::seconds(3)) echoMode_ = frame_.dual ? 1 : 0;
        framePoints_ = 0;
        for (const ZelOrbPointData& p : frame_.first) framePoints_ += isEmptyPoint(p) ? 0 : 1;
    }
    if (session_.takeRgb(rgb_)) rgbDirty_ = true;
    if (linesDirty_) rebuildLines();
}

void ViewerApp::rebuildPoints() {
    pointsDirty_ = false;
    sceneDirty_ = true;
    const auto t0 = Clock::now();
    vertices_.clear();
    if (frame_.seq > 0 && frame_.first.size() == static_cast<std::size_t>(ZEL_ORB_FRAME_POINTS)) {
        const std::uint8_t* rgb = frame_.hasColours ? frame_.colours.data() : nullptr;
        if (!frame_.dual || echoShown_ != 1)
            appendVertices(frame_.first.data(), colour_, scaleLo(), scaleHi(), rgb, vertices_);
        if (frame_.dual && echoShown_ != 0 && frame_.second.size() == frame_.first.size())
            appendVertices(frame_.second.data(), colour_, scaleLo(), scaleHi(), nullptr, vertices_);
    }
    renderer_.setPoints(vertices_);
    buildMs_ = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void ViewerApp::rebuildLines() {
    linesDirty_ = false;
    sceneDirty_ = true;
    lines_.clear();
    const float u = unitsPerMetre_;
    if (grid_) appendGrid(lines_, u, gridMetres_, gridHeightM_ * u);
    if (axes_) appendAxes(lines_, u);
    if (angleOn_ && showBox_) {
        // The box the measurement looks in: x between the range bounds, y
        // between xLower and xUpper, z between yLower and yUpper.
        appendBox(lines_,
                  {static_cast<float>(angle_.rangeMin), static_cast<float>(angle_.xLower), static_cast<float>(angle_.yLower)},
                  {static_cast<float>(angle_.rangeMax), static_cast<float>(angle_.xUpper), static_cast<float>(angle_.yUpper)},
                  {250, 210, 60});
    }
    renderer_.setLines(lines_);
}

void ViewerApp::frame(int windowWidth, int windowHeight) {
    uiFrames_ += 1;
    sceneW_ = 0;  // set again when the 3D view is shown
    takeData();
    const SessionStatus st = session_.status();
    if (st.connected && st.connection != shownConnection_) {
        // Show where the connection went (discovery or the simulator chose it).
        shownConnection_ = st.connection;
        std::snprintf(ip_, sizeof ip_, "%s", st.endpoint.ip.c_str());
        std::snprintf(hostIp_, sizeof hostIp_, "%s", st.endpoint.hostIp.c_str());
        hostPort_ = st.endpoint.hostPort;
        sourcePort_ = st.endpoint.sourcePort;
    }
    const bool stalled = st.connected && std::chrono::duration<double>(Clock::now() - st.lastFrameAt).count() > kStallSeconds;
    if (stalled && !stalled_) log_.add(Severity::Warning, "No point-cloud frame from " + st.endpoint.ip + " for 2 s");
    stalled_ = stalled;

    ImGui::SetNextWindowPos(ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(kPanelWidth, static_cast<float>(windowHeight)));
    ImGui::Begin("Camera", nullptr, ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoCollapse);
    cameraSection(st);
    networkSection(st);
    controlPanel();
    ImGui::End();

    ImGui::SetNextWindowPos(ImVec2(kPanelWidth, 0));
    ImGui::SetNextWindowSize(ImVec2(static_cast<float>(windowWidth) - kPanelWidth, static_cast<float>(windowHeight)));
    ImGui::Begin("Views", nullptr,
                 ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoCollapse |
                     ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoScrollbar);
    views(st);
    statusBar(st);
    ImGui::End();
}

void ViewerApp::cameraSection(const SessionStatus& st) {
    if (!ImGui::CollapsingHeader("Camera", ImGuiTreeNodeFlags_DefaultOpen)) return;
    if (st.connected)
        ImGui::TextColored(ImVec4(0.5f, 0.9f, 0.5f, 1), "Connected: %s%s", st.endpoint.ip.c_str(),
                           st.simulator ? " (built-in simulator)" : "");
    else
        ImGui::TextColored(ImVec4(0.9f, 0.7f, 0.4f, 1), "Not connected");
    ImGui::PushItemWidth(150);
    inputIp("camera IP", ip_, sizeof ip_);
    inputIp("host IP", hostIp_, sizeof hostIp_);
    ImGui::InputInt("host port", &hostPort_, 0);
    ImGui::InputInt("source port", &sourcePort_, 0);
    ImGui::PopItemWidth();
    hostPort_ = std::clamp(hostPort_, 1, 65535);
    sourcePort_ = std::clamp(sourcePort_, 1, 65535);
    const Endpoint e{ip_, hostIp_, static_cast<std::uint16_t>(hostPort_), static_cast<std::uint16_t>(sourcePort_)};
    if (ImGui::Button("Connect")) session_.connect(e);
    ImGui::SameLine();
    if (ImGui::Button("Disconnect")) session_.disconnect();
    ImGui::SameLine();
    if (ImGui::Button("Simulator")) session_.startSimulator(e, simScene_);
    ImGui::SameLine();
    if (ImGui::Button("Find")) session_.findCameras(hostIp_);
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("Broadcast search; with a host IP also listens for announcements (about 6 s)");
    for (std::size_t i = 0; i < st.found.size(); ++i) {
        const FoundCamera& f = st.found[i];
        char row[128];
        std::snprintf(row, sizeof row, "%s  via %s  (%s)##found%zu", f.ip.c_str(), f.hostIp.c_str(),
                      f.passive ? "announced" : "answered", i);
        if (ImGui::Selectable(row)) {
            std::snprintf(ip_, sizeof ip_, "%s", f.ip.c_str());
            std::snprintf(hostIp_, sizeof hostIp_, "%s", f.hostIp.c_str());
        }
    }
    if (st.connected && ImGui::BeginTable("facts", 2, ImGuiTableFlags_SizingFixedFit)) {
        auto row = [](const char* k, const std::string& v) {
            ImGui::TableNextRow();
            ImGui::TableNextColumn();
            ImGui::TextUnformatted(k);
            ImGui::TableNextColumn();
            ImGui::TextUnformatted(v.empty() ? "-" : v.c_str());
        };
        row("serial number", st.facts.serial);
        row("device type", st.facts.type);
        row("software", st.facts.version1 + " / " + st.facts.version2);
        row("RGB camera", std::string(st.facts.rgbPresent ? "yes" : "no") + (st.facts.rgbRotated ? ", rotated" : ""));
        ImGui::EndTable();
    }
    ImGui::TextUnformatted("Echo mode:");
    ImGui::SameLine();
    for (int mode : {0, 1}) {
        if (mode == 1) ImGui::SameLine();
        if (ImGui::RadioButton(mode == 0 ? "single" : "dual", echoMode_ == mode)) {
            session_.setEchoMode(echoMode_ = mode);
            echoAskedAt_ = Clock::now();
        }
    }
}

void ViewerApp::networkSection(const SessionStatus& st) {
    if (!ImGui::CollapsingHeader("Network settings")) return;
    if (!st.netInfoValid) {
        ImGui::TextDisabled("not read");
        netEditLoaded_ = false;
    } else if (!netEditLoaded_) {
        netEdit_ = st.netInfo;
        netEditLoaded_ = true;
    }
    if (netEditLoaded_) {
        ImGui::PushItemWidth(150);
        inputIp("camera address", netEdit_.lidar_ip, sizeof netEdit_.lidar_ip);
        inputIp("host address", netEdit_.host_ip, sizeof netEdit_.host_ip);
        int lp = netEdit_.lidar_port, hp = netEdit_.host_port;
        if (ImGui::InputInt("camera port", &lp, 0)) netEdit_.lidar_port = static_cast<std::uint16_t>(std::clamp(lp, 0, 65535));
        if (ImGui::InputInt("host port##net", &hp, 0)) netEdit_.host_port = static_cast<std::uint16_t>(std::clamp(hp, 0, 65535));
        ImGui::PopItemWidth();
    }
    if (ImGui::Button("Read")) {
        netEditLoaded_ = false;
        session_.readNetInfo();
    }
    ImGui::SameLine();
    if (ImGui::Button("Write...") && netEditLoaded_) ImGui::OpenPopup("Write network settings?");
    if (ImGui::BeginPopupModal("Write network settings?", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
        ImGui::Text("The camera will take address %s, port %u,\nand send to %s:%u.", netEdit_.lidar_ip,
                    netEdit_.lidar_port, netEdit_.host_ip, netEdit_.host_port);
        ImGui::TextColored(ImVec4(1, 0.8f, 0.3f, 1), "It may no longer be reachable at %s.", st.endpoint.ip.c_str());
        if (ImGui::Button("Write")) {
            session_.writeNetInfo(netEdit_);
            netEditLoaded_ = false;
            ImGui::CloseCurrentPopup();
        }
        ImGui::SameLine();
        if (ImGui::Button("Cancel")) ImGui::CloseCurrentPopup();
        ImGui::EndPopup();
    }
}

void ViewerApp::controlPanel() {
    displaySection();
    filterSection();
    angleSection();
    if (ImGui::CollapsingHeader("Health", ImGuiTreeNodeFlags_DefaultOpen) &&
        ImGui::BeginTable("health", 2, ImGuiTableFlags_SizingFixedFit | ImGuiTableFlags_RowBg)) {
        for (const HealthRow& r : healthRows()) {
            ImGui::TableNextRow();
            ImGui::TableNextColumn();
            ImGui::TextUnformatted(r.name.c_str());
            ImGui::TableNextColumn();
            ImGui::TextUnformatted(r.value.c_str());
        }
        ImGui::EndTable();
    }
    saveSection();
    messageSection();
}

void ViewerApp::displaySection() {
    if (!ImGui::CollapsingHeader("Display", ImGuiTreeNodeFlags_DefaultOpen)) return;
    const char* modes[] = {"range", "intensity", "height", "RGB (fusion)"};
    int m = static_cast<int>(colour_);
    ImGui::PushItemWidth(170);
    if (ImGui::Combo("colour", &m, modes, 4)) {
        colour_ = static_cast<ColourMode>(m);
        pointsDirty_ = true;
    }
    bool changed = false;
    if (colour_ == ColourMode::Range) changed |= ImGui::DragFloat2("range (m)", rangeM_, 0.05f, 0.0f, 200.0f, "%.2f");
    if (colour_ == ColourMode::Height) changed |= ImGui::DragFloat2("height (m)", heightM_, 0.05f, -50.0f, 50.0f, "%.2f");
    if (colour_ == ColourMode::Intensity) changed |= ImGui::DragFloat2("intensity", intensity_, 1.0f, 0.0f, 255.0f, "%.0f");
    const char* echoes[] = {"first", "second", "both"};
    changed |= ImGui::Combo("echo shown", &echoShown_, echoes, 3);
    if (changed) pointsDirty_ = true;
    if (ImGui::SliderFloat("point size", &pointSize_, 1.0f, 8.0f, "%.0f px")) sceneDirty_ = true;
    bool lines = ImGui::Checkbox("grid", &grid_);
    ImGui::SameLine();
    lines |= ImGui::Checkbox("axes", &axes_);
    lines |= ImGui::DragFloat("grid height (m)", &gridHeightM_, 0.05f, -20.0f, 20.0f, "%.2f");
    lines |= ImGui::SliderInt("grid size (m)", &gridMetres_, 2, 50);
    if (ImGui::InputFloat("units per metre", &unitsPerMetre_, 0, 0, "%.0f")) {
        unitsPerMetre_ = std::clamp(unitsPerMetre_, 0.001f, 1e6f);
        camera_.unitsPerMetre = unitsPerMetre_;
        lines = pointsDirty_ = true;
    }
    if (lines) linesDirty_ = true;
    ImGui::PopItemWidth();
    if (ImGui::Button("Reset view")) {
        camera_.reset();
        sceneDirty_ = true;
    }
    ImGui::SameLine();
    if (ImGui::Checkbox("RGB undistortion", &undistort_)) session_.setUndistortion(undistort_);
}

void ViewerApp::filterSection() {
    if (!ImGui::CollapsingHeader("Filters")) return;
    ImGui::PushItemWidth(150);
    bool c = ImGui::Checkbox("distance window", &distanceOn_);
    c |= ImGui::DragIntRange2("min / max##dist", &distanceMin_, &distanceMax_, 1.0f, 0, 100000);
    if (c) session_.setDistanceWindow(distanceOn_, static_cast<std::uint32_t>(distanceMin_), static_cast<std::uint32_t>(distanceMax_));
    if (ImGui::Checkbox("distance compensation", &compensationOn_)) session_.setDistanceCompensation(compensationOn_);

    c = ImGui::Checkbox("intensity threshold", &intensityOn_);
    ImGui::TextDisabled("up to distance (m) : least intensity");
    for (std::size_t i = 0; i < intensityTable_.size(); ++i) {
        ImGui::PushID(static_cast<int>(i));
        ImGui::SetNextItemWidth(80);
        c |= ImGui::InputFloat("##d", &intensityTable_[i].first, 0, 0, "%.2f");
        ImGui::SameLine();
        ImGui::SetNextItemWidth(80);
        c |= ImGui::InputFloat("##i", &intensityTable_[i].second, 0, 0, "%.0f");
        ImGui::SameLine();
        // One row always stays: an empty table filters nothing and floods the console.
        if (intensityTable_.size() > 1 && ImGui::SmallButton("remove")) {
            intensityTable_.erase(intensityTable_.begin() + static_cast<std::ptrdiff_t>(i));
            c = true;
            ImGui::PopID();
            break;
        }
        ImGui::PopID();
    }
    if (ImGui::SmallButton("add row")) {
        intensityTable_.push_back({intensityTable_.back().first + 1.0f, 0.0f});
        c = true;
    }
    if (c) {
        std::vector<double> d, in;
        for (const auto& r : intensityTable_) {
            d.push_back(r.first);
            in.push_back(r.second);
        }
        session_.setIntensityFilter(intensityOn_, d, in);
    }
    c = ImGui::Checkbox("spatial median", &spatialOn_);
    c |= ImGui::SliderInt("size", &spatialSize_, 3, 31);
    if (c) session_.setSpatialFilter(spatialOn_, spatialSize_);
    c = ImGui::Checkbox("time median", &medianOn_);
    c |= ImGui::SliderInt("frames", &medianCount_, 1, 9);
    c |= ImGui::DragInt("threshold##tm", &medianThreshold_, 1.0f, 0, 65535);
    if (c) session_.setTimeMedianFilter(medianOn_, medianCount_, medianThreshold_);
    c = ImGui::Checkbox("flying pixels", &flyingOn_);
    c |= ImGui::DragInt("threshold##fly", &flyingThreshold_, 1.0f, 0, 65535);
    if (c) session_.setFlyingFilter(flyingOn_, flyingThreshold_);
    ImGui::TextDisabled("median thresholds in tenths of a coordinate unit");
    ImGui::PopItemWidth();
}

void ViewerApp::angleSection() {
    if (!ImGui::CollapsingHeader("Angle measurement")) return;
    bool c = ImGui::Checkbox("measure yaw", &angleOn_);
    ImGui::SameLine();
    if (ImGui::Checkbox("draw box", &showBox_)) linesDirty_ = true;
    ImGui::PushItemWidth(150);
    c |= ImGui::DragIntRange2("y (lateral)", &angle_.xLower, &angle_.xUpper, 1.0f, -100000, 100000);
    c |= ImGui::DragIntRange2("z (height)", &angle_.yLower, &angle_.yUpper, 1.0f, -100000, 100000);
    c |= ImGui::DragIntRange2("x (range)", &angle_.rangeMin, &angle_.rangeMax, 1.0f, 0, 100000);
    c |= ImGui::DragInt("slice height", &angle_.sliceHeight, 0.2f, 1, 10000);
    c |= ImGui::DragInt("window shift", &angle_.windowShift, 0.2f, 1, 10000);
    c |= ImGui::DragInt("corner window", &angle_.secondWindowWidth, 0.2f, 1, 10000);
    c |= ImGui::DragInt("points per slice", &angle_.minSlicePoints, 0.2f, 1, 10000);
    c |= ImGui::DragFloat("tolerance (deg)", &angle_.angleTolerance, 0.1f, 0.0f, 90.0f);
    c |= ImGui::DragFloat("steep (deg)", &angle_.steepAngle, 0.1f, 0.0f, 90.0f);
    c |= ImGui::DragFloat("full search (deg)", &angle_.fullSearchAngle, 0.1f, 0.0f, 90.0f);
    ImGui::PopItemWidth();
    if (c) {
        angle_.sliceHeight = std::max(1, angle_.sliceHeight);
        session_.setAngleMeasure(angleOn_, angle_);
        linesDirty_ = true;
    }
    const std::vector<AngleSample> a = session_.angles();
    Series s;
    for (const AngleSample& x : a)
        if (x.ok) s.push(x.t, &x.angle, 1, Session::kAngleWindowSeconds);
    if (!a.empty() && a.back().ok)
        ImGui::Text("yaw %.2f deg", a.back().angle);
    else if (!a.empty())
        ImGui::TextColored(ImVec4(1, 0.8f, 0.35f, 1), "yaw: %s", a.back().message.c_str());
    const char* names[] = {"yaw"};
    plot("yaw (deg)", s, 0, 1, names, session_.now(), Session::kAngleWindowSeconds,
         ImVec2(ImGui::GetContentRegionAvail().x, 90));
}

void ViewerApp::saveSection() {
    if (!ImGui::CollapsingHeader("Save")) return;
    ImGui::SetNextItemWidth(200);
    ImGui::InputText("file name", saveBase_, sizeof saveBase_);
    const std::string base = std::string(saveBase_) + "-" + std::to_string(saveCount_ + 1);
    ImGui::TextDisabled("%s.ply, -depth.png, -intensity.png, -rgb.png", base.c_str());
    const bool ply = ImGui::Button("PLY");
    ImGui::SameLine();
    const bool depth = ImGui::Button("depth");
    ImGui::SameLine();
    const bool intensity = ImGui::Button("intensity");
    ImGui::SameLine();
    const bool rgb = ImGui::Button("RGB");
    ImGui::SameLine();
    const bool all = ImGui::Button("all");
    if (ply || depth || intensity || rgb || all) {
        ++saveCount_;
        auto f = std::make_shared<FrameBundle>(frame_);
        auto r = std::make_shared<RgbImage>(rgb_);
        session_.save(f, r, ply || all ? base + ".ply" : "", depth || all ? base + "-depth.png" : "",
                      intensity || all ? base + "-intensity.png" : "", rgb || all ? base + "-rgb.png" : "");
    }
    ImGui::TextDisabled("PLY has colour when the points are coloured by RGB");
}

void ViewerApp::messageSection() {
    if (!ImGui::CollapsingHeader("Messages", ImGuiTreeNodeFlags_DefaultOpen)) return;
    for (const Message& m : log_.recent(12)) {
        const ImVec4 c = m.severity == Severity::Error     ? ImVec4(1, 0.45f, 0.4f, 1)
                         : m.severity == Severity::Warning ? ImVec4(1, 0.8f, 0.35f, 1)
                                                           : ImVec4(0.8f, 0.8f, 0.8f, 1);
        ImGui::PushStyleColor(ImGuiCol_Text, c);
        ImGui::TextWrapped("%s", m.text.c_str());
        ImGui::PopStyleColor();
    }
}

void ViewerApp::views(const SessionStatus& st) {
    if (!ImGui::BeginTabBar("views")) return;
    const float h = ImGui::GetContentRegionAvail().y - kStatusHeight - 30.0f;
    auto tab = [&](const char* name, View v) {
        ImGuiTabItemFlags flags = 0;
        if (!viewSelected_ && selectView_ == v) flags |= ImGuiTabItemFlags_SetSelected;
        return ImGui::BeginTabItem(name, nullptr, flags);
    };
    if (tab("3D", View::ThreeD)) {
        sceneView(st);
        ImGui::EndTabItem();
    }
    if (tab("Depth", View::Depth)) {
        imageView(ImageKind::Depth, h);
        ImGui::EndTabItem();
    }
    if (tab("Intensity", View::Intensity)) {
        imageView(ImageKind::Intensity, h);
        ImGui::EndTabItem();
    }
    if (tab("RGB", View::Rgb)) {
        rgbView(h);
        ImGui::EndTabItem();
    }
    if (tab("IMU", View::Imu)) {
        imuView(h);
        ImGui::EndTabItem();
    }
    if (tab("Overview", View::Overview)) {
        const float w = ImGui::GetContentRegionAvail().x;
        ImGui::BeginChild("left", ImVec2(w * 0.5f - 4, h), false);
        imageView(ImageKind::Depth, h * 0.5f - 24);
        imageView(ImageKind::Intensity, h * 0.5f - 24);
        ImGui::EndChild();
        ImGui::SameLine();
        ImGui::BeginChild("right", ImVec2(0, h), false);
        rgbView(h * 0.45f);
        imuView(h * 0.55f - 10);
        ImGui::EndChild();
        ImGui::EndTabItem();
    }
    viewSelected_ = true;
    ImGui::EndTabBar();
}

void ViewerApp::sceneView(const SessionStatus& st) {
    const ImVec2 avail = ImGui::GetContentRegionAvail();
    const ImVec2 size(std::max(avail.x, 16.0f), std::max(avail.y - kStatusHeight - 8.0f, 16.0f));
    const ImVec2 pos = ImGui::GetCursorScreenPos();
    ImGui::InvisibleButton("scene", size,
                           ImGuiButtonFlags_MouseButtonLeft | ImGuiButtonFlags_MouseButtonRight |
                               ImGuiButtonFlags_MouseButtonMiddle);
    const ImGuiIO& io = ImGui::GetIO();
    if (ImGui::IsItemActive()) {
        const bool panning = ImGui::IsMouseDown(ImGuiMouseButton_Right) || ImGui::IsMouseDown(ImGuiMouseButton_Middle) ||
                             io.KeyShift;
        if (io.MouseDelta.x != 0 || io.MouseDelta.y != 0) {
            if (panning)
                camera_.pan(io.MouseDelta.x, io.MouseDelta.y, size.y);
            else
                camera_.orbit(io.MouseDelta.x, io.MouseDelta.y);
            sceneDirty_ = true;
        }
    }
    if (ImGui::IsItemHovered()) {
        if (io.MouseWheel != 0) {
            camera_.zoom(io.MouseWheel);
            sceneDirty_ = true;
        }
        if (ImGui::IsMouseDoubleClicked(ImGuiMouseButton_Left) || ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Home))) {
            camera_.reset();
            sceneDirty_ = true;
        }
    }
    if (pointsDirty_) rebuildPoints();
    const int w = static_cast<int>(size.x), h = static_cast<int>(size.y);
    const Mat4 vp = camera_.viewProjection(size.x / size.y);
    if (sceneDirty_ || w != renderedW_ || h != renderedH_) {
        renderer_.render(w, h, vp, pointSize_, kBackground);
        sceneDirty_ = false;
        renderedW_ = w;
        renderedH_ = h;
        placeGridLabels(vp, size.x, size.y);
    }
    sceneX_ = static_cast<int>(pos.x), sceneY_ = static_cast<int>(pos.y), sceneW_ = w, sceneH_ = h;
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const ImVec2 end(pos.x + size.x, pos.y + size.y);
    dl->AddImage(tex(renderer_.texture()), pos, end, ImVec2(0, 1), ImVec2(1, 0));

    dl->PushClipRect(pos, end, true);
    for (const GridLabel& l : gridLabels_)
        dl->AddText(ImVec2(pos.x + l.x + 3, pos.y + l.y - 14), IM_COL32(150, 150, 160, 255), l.text);
    char info[160];
    const char* colourName[] = {"range", "intensity", "height", "RGB"};
    std::snprintf(info, sizeof info, "frame %llu  %zu points  %s%s", static_cast<unsigned long long>(frame_.seq),
                  renderer_.pointCount(), colourName[static_cast<int>(colour_)], frame_.dual ? "  dual echo" : "");
    dl->AddText(ImVec2(pos.x + 8, pos.y + 6), IM_COL32(230, 230, 230, 255), info);
    if (!st.connected && frame_.seq > 0)
        dl->AddText(ImVec2(pos.x + 8, pos.y + 22), IM_COL32(255, 200, 90, 255), "not connected: the last frame received");
    if (colour_ == ColourMode::Rgb && !frame_.hasColours) {
        const std::string why = !st.fusionReady ? std::string("RGB colours: the camera has no usable RGB calibration")
                                : frame_.dual   ? std::string("RGB colours: single echo only")
                                                : std::string("RGB colours: ") + ZelOrbReturnCodeToString(st.lastFusionResult);
        dl->AddText(ImVec2(pos.x + 8, pos.y + 22), IM_COL32(255, 200, 90, 255), why.c_str());
    }
    dl->PopClipRect();
    if (colour_ != ColourMode::Rgb) {
        const bool metres = colour_ != ColourMode::Intensity;
        const float k = metres ? 1.0f / unitsPerMetre_ : 1.0f;
        ImGui::SetCursorScreenPos(ImVec2(pos.x + 8, end.y - 40));
        scaleBar(scaleLo() * k, scaleHi() * k, metres ? "m" : "", 260.0f);
    }
    ImGui::SetCursorScreenPos(ImVec2(pos.x, end.y + 4));
    ImGui::TextDisabled("drag: orbit   right/middle drag or shift: pan   wheel: zoom   double-click: reset");
}

// Distances along the sensor's axis on the grid, where no point hides the grid.
void ViewerApp::placeGridLabels(const Mat4& vp, float width, float height) {
    gridLabels_.clear();
    if (!grid_) return;
    const float u = unitsPerMetre_;
    for (int k = 1; k <= gridMetres_; ++k) {
        float px = 0, py = 0, depth = 0;
        if (!projectToPixel(vp, {static_cast<float>(k) * u, 0.0f, gridHeightM_ * u}, width, height, px, py, &depth) ||
            px < 0 || py < 0 || px >= width || py >= height)
            continue;
        if (depth > renderer_.depthAt(static_cast<int>(px), static_cast<int>(py)) + 1e-4f) continue;
        GridLabel l{px, py, {}};
        std::snprintf(l.text, sizeof l.text, "%d m", k);
        gridLabels_.push_back(l);
    }
}

void ViewerApp::imageView(ImageKind kind, float maxHeight) {
    const bool depth = kind == ImageKind::Depth;
    Texture& t = depth ? depthTex_ : intensityTex_;
    bool& dirty = depth ? depthDirty_ : intensityDirty_;
    if (dirty && frame_.first.size() == static_cast<std::size_t>(ZEL_ORB_FRAME_POINTS)) {
        (depth ? depthMax_ : intensityMax_) = colourImage(frame_.first.data(), kind, imagePixels_);
        t.upload(ZEL_ORB_FRAME_COLS, ZEL_ORB_FRAME_ROWS, 4, imagePixels_.data(), false);
        dirty = false;
    }
    ImGui::TextUnformatted(depth ? "Depth (x)" : "Intensity");
    if (!t.id()) {
        ImGui::TextDisabled("no frame yet");
        return;
    }
    const float w = std::min(ImGui::GetContentRegionAvail().x, (maxHeight - 40.0f) * ZEL_ORB_FRAME_COLS / ZEL_ORB_FRAME_ROWS);
    ImGui::Image(tex(t.id()), ImVec2(w, w * ZEL_ORB_FRAME_ROWS / ZEL_ORB_FRAME_COLS));
    if (depth)
        scaleBar(0.0f, depthMax_ / unitsPerMetre_, "m", w);
    else
        scaleBar(0.0f, intensityMax_, "", w);
}

void ViewerApp::rgbView(float maxHeight) {
    if (rgbDirty_ && !rgb_.pixels.empty()) {
        rgbTex_.upload(rgb_.width, rgb_.height, 3, rgb_.pixels.data(), true);
        rgbDirty_ = false;
    }
    ImGui::Text("RGB%s", undistort_ ? " (undistorted)" : "");
    if (!rgbTex_.id()) {
        ImGui::TextDisabled("no image yet");
        return;
    }
    const float aspect = static_cast<float>(rgbTex_.width()) / static_cast<float>(std::max(1, rgbTex_.height()));
    const float w = std::min(ImGui::GetContentRegionAvail().x, (maxHeight - 24.0f) * aspect);
    ImGui::Image(tex(rgbTex_.id()), ImVec2(w, w / aspect));
}

void ViewerApp::imuView(float height) {
    Series nine, six;
    session_.imuSeries(nine, six);
    const double now = session_.now();
    const double win = Session::kImuWindowSeconds;
    const bool hasSix = !six.t.empty() && six.t.back() > now - win;
    const int plots = hasSix ? 4 : 3;
    const ImVec2 size(ImGui::GetContentRegionAvail().x, std::max(60.0f, height / static_cast<float>(plots) - 6.0f));
    static const char* xyz[] = {"x", "y", "z"};
    plot("accelerometer", nine, 0, 3, xyz, now, win, size);
    plot("gyroscope", nine, 3, 3, xyz, now, win, size);
    plot("magnetometer", nine, 6, 3, xyz, now, win, size);
    if (hasSix) {
        static const char* words[] = {"w0", "w1", "w2", "w3", "w4", "w5"};
        plot("six-axis (raw words)", six, 0, 6, words, now, win, size);
    }
}

void ViewerApp::statusBar(const SessionStatus& st) {
    ImGui::SetCursorPosY(ImGui::GetWindowHeight() - kStatusHeight);
    ImGui::Separator();
    const std::string busy = session_.busyWith();
    if (!busy.empty()) {
        const char spinner[] = "|/-\\";
        ImGui::TextColored(ImVec4(0.6f, 0.8f, 1, 1), "%c %s...", spinner[static_cast<int>(ImGui::GetTime() * 8) % 4], busy.c_str());
        ImGui::SameLine();
    }
    if (stalled_) {
        ImGui::TextColored(ImVec4(1, 0.45f, 0.4f, 1), "No point-cloud frame from %s for %.0f s", st.endpoint.ip.c_str(),
                           std::chrono::duration<double>(Clock::now() - st.lastFrameAt).count());
        ImGui::SameLine();
    }
    Message m;
    if (log_.latestProblem(std::chrono::seconds(10), m))
        ImGui::TextColored(m.severity == Severity::Error ? ImVec4(1, 0.45f, 0.4f, 1) : ImVec4(1, 0.8f, 0.35f, 1), "%s",
                           m.text.c_str());
    else
        ImGui::TextDisabled("frames/s %llu  drawn/s %llu  not drawn %llu",
                            static_cast<unsigned long long>(rates_.published), static_cast<unsigned long long>(rates_.drawn),
                            static_cast<unsigned long long>(session_.counts().notDrawn));
}

}  // namespace orbviewer
