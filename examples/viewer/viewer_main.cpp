// orb-viewer: a live view of one camera (or the built-in simulator) with its
// settings at hand. See viewerUsage() for the options.
#include "gl_window.h"
#include <imgui.h>
#include <imgui_impl_glfw.h>
#include <imgui_impl_opengl3.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "device_session.h"
#include "orb_sdk.h"
#include "scene.h"
#include "viewer_app.h"
#include "viewer_options.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kMinFrameInterval = std::chrono::microseconds(16667);
constexpr double kIdleRedrawSeconds = 0.1;
constexpr auto kFirstFrameGrace = std::chrono::seconds(10);

std::shared_ptr<const orbsim::Scene> sceneFor(orbviewer::SimScene s) {
    switch (s) {
    case orbviewer::SimScene::Wall:
        return orbsim::makeWallScene(orbviewer::kWallSceneDistance, 0.0);
    case orbviewer::SimScene::Box:
        return orbsim::withIntensityFalloff(orbsim::makeBoxScene(400.0, orbsim::BoxSpec{}), 200.0, 200.0);
    default:
        return nullptr;  // the sample client's turned wall
    }
}

bool saveScreenshot(const std::string& path, int width, int height) {
    cv::Mat rgba(height, width, CV_8UC4);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data);
    cv::Mat bgr;
    cv::cvtColor(rgba, bgr, cv::COLOR_RGBA2BGR);
    cv::flip(bgr, bgr, 0);
    try {
        return cv::imwrite(path, bgr, {cv::IMWRITE_PNG_COMPRESSION, 9});
    } catch (const cv::Exception&) {
        return false;
    }
}

std::atomic<bool> gStop{false};

void onSignal(int) { gStop = true; }

void onGlfwError(int code, const char* text) { std::fprintf(stderr, "orb-viewer: GLFW error %d: %s\n", code, text); }

}  // namespace

int main(int argc, char** argv) {
    orbviewer::ViewerOptions o;
    std::string error;
    if (!orbviewer::parseViewerArgs(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
        std::fprintf(stderr, "orb-viewer: %s\n\n%s", error.c_str(), orbviewer::viewerUsage().c_str());
        return 2;
    }
    if (o.help) {
        std::printf("%s", orbviewer::viewerUsage().c_str());
        return 0;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    glfwSetErrorCallback(onGlfwError);
    if (!glfwInit()) {
        std::fprintf(stderr, "orb-viewer: no display could be opened\n");
        return 1;
    }
    GLFWwindow* window = orbviewer::openGlWindow(o.width, o.height, "orb-viewer", true);
    if (!window) {
        std::fprintf(stderr, "orb-viewer: no OpenGL 3.3 window could be created\n");
        glfwTerminate();
        return 1;
    }
    glfwSwapInterval(1);
    glfwSetInputMode(window, GLFW_STICKY_KEYS, GLFW_TRUE);  // a quick F12 between two frames still counts

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGui::GetIO().IniFilename = nullptr;  // the layout is fixed; nothing to remember
    ImGui::StyleColorsDark();
    ImGui_ImplGlfw_InitForOpenGL(window, true);
    ImGui_ImplOpenGL3_Init("#version 330 core");

    if (ZelOrbInit() != 0) {
        std::fprintf(stderr, "orb-viewer: the socket interface could not be started\n");
        return 1;
    }
    int rc = 0;
    {
        orbviewer::MessageLog log;
        orbviewer::Session session(log);
        const std::shared_ptr<const orbsim::Scene> scene = sceneFor(o.scene);
        orbviewer::ViewerApp app(session, log, o, scene);
        if (!app.init(error)) {
            std::fprintf(stderr, "orb-viewer: %s\n", error.c_str());
            rc = 1;
        } else {
            // The window draws when input comes, when a new frame arrives (the
            // session wakes it) or every 100 ms, at most 60 times a second.
            session.onNewFrame([] { glfwPostEmptyEvent(); });
            const orbviewer::Endpoint e{o.ip, o.hostIp, o.hostPort, o.sourcePort};
            bool started = false;

            const auto start = Clock::now();
            auto nextSecond = start + std::chrono::seconds(1);
            auto lastDraw = start;
            int second = 0, shots = 0;
            bool quit = false, f12Down = false;
            while (!quit) {
                const auto since = Clock::now() - lastDraw;
                if (since < kMinFrameInterval) std::this_thread::sleep_for(kMinFrameInterval - since);
                glfwWaitEventsTimeout(kIdleRedrawSeconds);
                lastDraw = Clock::now();
                quit = glfwWindowShouldClose(window) || gStop;
                // A picture is taken once a frame was drawn: on a slow start up
                // to kFirstFrameGrace more.
                if (o.seconds > 0 && lastDraw - start >= std::chrono::seconds(o.seconds) &&
                    (o.screenshot.empty() || session.counts().drawn > 0 ||
                     lastDraw - start >= std::chrono::seconds(o.seconds) + kFirstFrameGrace))
                    quit = true;
                int fbw = 0, fbh = 0;
                glfwGetFramebufferSize(window, &fbw, &fbh);
                ImGui_ImplOpenGL3_NewFrame();
                ImGui_ImplGlfw_NewFrame();
                ImGui::NewFrame();
                app.frame(fbw, fbh);
                ImGui::Render();
                glViewport(0, 0, fbw, fbh);
                glClearColor(0.05f, 0.05f, 0.06f, 1.0f);
                glClear(GL_COLOR_BUFFER_BIT);
                ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
                // F12: a picture of the window in the working directory.
                const bool f12 = glfwGetKey(window, GLFW_KEY_F12) == GLFW_PRESS;
                if (f12 && !f12Down) {
                    const std::string path = "orb-viewer-" + std::to_string(++shots) + ".png";
                    const bool ok = saveScreenshot(path, fbw, fbh);
                    log.add(ok ? orbviewer::Severity::Info : orbviewer::Severity::Error,
                            (ok ? "Saved the window to " : "Could not write ") + path);
                }
                f12Down = f12;
                if (quit && !o.screenshot.empty()) {
                    const bool ok = saveScreenshot(o.screenshot, fbw, fbh);
                    int x = 0, y = 0, w = 0, h = 0;
                    if (ok && app.sceneRect(x, y, w, h))
                        std::printf("screenshot %s %dx%d, 3D view at %d,%d size %dx%d\n", o.screenshot.c_str(), fbw, fbh,
                                    x, y, w, h);
                    else
                        std::printf(ok ? "screenshot %s %dx%d\n" : "could not write %s\n", o.screenshot.c_str(), fbw, fbh);
                    rc = ok ? rc : 1;
                }
                glfwSwapBuffers(window);
                if (!started) {
                    // After the first window frame, whose set-up is slow with a
                    // software renderer, so that the first camera frames are drawn.
                    started = true;
                    if (!o.ip.empty())
                        session.connect(e);
                    else if (o.simulator)
                        session.startSimulator(e, scene);
                    else
                        session.connectFirstFound(e, scene);
                }

                if (Clock::now() >= nextSecond) {
                    const double secs = std::chrono::duration<double>(Clock::now() - nextSecond + std::chrono::seconds(1)).count();
                    nextSecond = Clock::now() + std::chrono::seconds(1);
                    app.tick(secs);
                    const auto& r = app.rates();
                    std::printf("[%3ds] frames/s %3llu  drawn/s %3llu  not drawn %llu  rgb/s %3llu  imu/s %4llu\n", ++second,
                                static_cast<unsigned long long>(r.published), static_cast<unsigned long long>(r.drawn),
                                static_cast<unsigned long long>(r.notDrawn), static_cast<unsigned long long>(r.rgb),
                                static_cast<unsigned long long>(r.imu));
                    std::fflush(stdout);
                }
            }
            const auto c = session.counts();
            std::printf("Stopped: %llu frames published, %llu drawn, %llu not drawn, %llu RGB images, %llu IMU samples.\n",
                        static_cast<unsigned long long>(c.published), static_cast<unsigned long long>(c.drawn),
                        static_cast<unsigned long long>(c.notDrawn), static_cast<unsigned long long>(c.rgb),
                        static_cast<unsigned long long>(c.imu));
        }
        session.shutdown();
    }
    ZelOrbDeinit();
    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplGlfw_Shutdown();
    ImGui::DestroyContext();
    glfwDestroyWindow(window);
    glfwTerminate();
    return rc;
}
