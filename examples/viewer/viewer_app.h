// The viewer's window contents: the control panel on the left (camera,
// network settings, echo mode, display, filters, angle, health, save,
// messages) and the views on the right (3D, depth, intensity, RGB, IMU,
// overview). Called once per UI frame between ImGui's NewFrame and Render.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "camera_math.h"
#include "device_session.h"
#include "gl_renderer.h"
#include "viewer_options.h"

namespace orbviewer {

// One row of the health panel.
struct HealthRow {
    std::string name, value;
};

class ViewerApp {
public:
    // simScene: what the built-in simulator shows when started from the window.
    ViewerApp(Session& session, MessageLog& log, const ViewerOptions& options,
              std::shared_ptr<const orbsim::Scene> simScene);
    bool init(std::string& error);  // needs the GL context
    void frame(int windowWidth, int windowHeight);

    // Once per second from the main loop: per-second rates for the health panel.
    void tick(double seconds);
    std::vector<HealthRow> healthRows() const;
    // Where the 3D view's image sits in the window (pixels), once it was drawn.
    bool sceneRect(int& x, int& y, int& w, int& h) const;
    const Session::Counts& rates() const { return rates_; }

private:
    void takeData();
    void rebuildPoints();
    void rebuildLines();
    void controlPanel();
    void cameraSection(const SessionStatus& st);
    void networkSection(const SessionStatus& st);
    void displaySection();
    void filterSection();
    void angleSection();
    void saveSection();
    void messageSection();
    void views(const SessionStatus& st);
    void sceneView(const SessionStatus& st);
    void placeGridLabels(const Mat4& vp, float width, float height);
    void imageView(ImageKind kind, float maxHeight);
    void rgbView(float maxHeight);
    void imuView(float height);
    void statusBar(const SessionStatus& st);
    float scaleLo() const;
    float scaleHi() const;

    Session& session_;
    MessageLog& log_;
    std::shared_ptr<const orbsim::Scene> simScene_;
    SceneRenderer renderer_;
    OrbitCamera camera_;
    Texture depthTex_, intensityTex_, rgbTex_;
    float depthMax_ = 0, intensityMax_ = 0;

    FrameBundle frame_;
    RgbImage rgb_;
    std::vector<PointVertex> vertices_, lines_;
    bool pointsDirty_ = true, linesDirty_ = true, sceneDirty_ = true;
    bool depthDirty_ = false, intensityDirty_ = false, rgbDirty_ = false;
    std::vector<std::uint8_t> imagePixels_;
    double buildMs_ = 0;
    std::size_t framePoints_ = 0;
    int sceneX_ = -1, sceneY_ = -1, sceneW_ = 0, sceneH_ = 0, renderedW_ = 0, renderedH_ = 0;
    struct GridLabel {
        float x, y;
        char text[16];
    };
    std::vector<GridLabel> gridLabels_;

    // connection
    char ip_[64] = "", hostIp_[64] = "";
    int hostPort_ = 6001, sourcePort_ = 6301;
    ZelOrbNetInfo netEdit_{};
    bool netEditLoaded_ = false;
    // display
    ColourMode colour_ = ColourMode::Range;
    int echoShown_ = 2;  // 0 first, 1 second, 2 both
    int echoMode_ = 0;
    std::chrono::steady_clock::time_point echoAskedAt_;
    float pointSize_ = 2.0f;
    float rangeM_[2] = {kDefaultRangeScaleMetres[0], kDefaultRangeScaleMetres[1]}, heightM_[2] = {-2.0f, 2.0f}, intensity_[2] = {0.0f, 255.0f};
    bool grid_ = true, axes_ = true;
    float gridHeightM_ = -1.0f;
    int gridMetres_ = 10;
    float unitsPerMetre_ = kDefaultUnitsPerMetre;
    bool undistort_ = false;
    // filters, starting from the library's defaults
    bool distanceOn_ = false;
    int distanceMin_ = 0, distanceMax_ = 100;
    bool compensationOn_ = false;
    bool intensityOn_ = false;
    std::vector<std::pair<float, float>> intensityTable_ = {{2.5f, 13.0f}, {4.5f, 4.0f}, {10.0f, 2.0f}};
    bool spatialOn_ = false;
    int spatialSize_ = 5;
    bool medianOn_ = false;
    int medianCount_ = 5, medianThreshold_ = 100;
    bool flyingOn_ = false;
    int flyingThreshold_ = 300;
    // angle measurement
    bool angleOn_ = false, showBox_ = true;
    AngleMeasureParams angle_{};
    // save
    char saveBase_[256] = "orb-frame";
    int saveCount_ = 0;

    View selectView_;
    bool viewSelected_ = false;
    bool stalled_ = false;
    std::uint64_t shownConnection_ = 0;
    Session::Counts lastCounts_{}, rates_{};
    double uiFrames_ = 0, uiRate_ = 0;
};

}  // namespace orbviewer
