// RGB-D fusion maths: camera set-up against OpenCV, projection, depth grid
// and occlusion (no network).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "imu_rgb/fusion.h"
#include "rgb_sender.h"
#include "scene.h"
#include "settings_store.h"

namespace {

constexpr int W = 1600, H = 1200;

// Maps that copy the image unchanged, and a projection that reads a point
// (x, y, z) as depth d = x + dOffset at pixel (y / x, z / x) (with dOffset 0).
orb::FusionParams buildPlainParams() {
    orb::FusionParams p;
    p.width = W;
    p.height = H;
    cv::Mat mx(H, W, CV_32F), my(H, W, CV_32F);
    for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c) {
            mx.at<float>(r, c) = static_cast<float>(c);
            my.at<float>(r, c) = static_cast<float>(r);
        }
    cv::convertMaps(mx, my, p.map1, p.map2, CV_16SC2);
    const float M[9] = {0, 1, 0, 0, 0, 1, 1, 0, 0};
    std::memcpy(p.M, M, sizeof M);
    return p;
}

orb::FusionParams plainParams(float dOffset = 0.0f) {
    static const orb::FusionParams base = buildPlainParams();
    orb::FusionParams p = base;  // the maps are shared, never written
    p.t[2] = dOffset;
    return p;
}

// Every pixel carries its own column and row, so a colour names its pixel.
std::vector<std::uint8_t> coordinateImage() {
    std::vector<std::uint8_t> img(static_cast<std::size_t>(W) * H * 3);
    for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c) {
            std::uint8_t* p = &img[(static_cast<std::size_t>(r) * W + c) * 3];
            p[0] = static_cast<std::uint8_t>(c & 0xFF);
            p[1] = static_cast<std::uint8_t>(c >> 8 | (r >> 8) << 4);
            p[2] = static_cast<std::uint8_t>(r & 0xFF);
        }
    return img;
}

struct Points {
    std::vector<float> x, y, z;
    // A point at depth x seen at pixel (u, v) through plainParams(0).
    void add(float u, float v, float depth) {
        x.push_back(depth);
        y.push_back(u * depth);
        z.push_back(v * depth);
    }
    void addRaw(float px, float py, float pz) {
        x.push_back(px);
        y.push_back(py);
        z.push_back(pz);
    }
};

struct Fused {
    std::vector<std::uint8_t> out;
    bool coloured(std::size_t i) const {
        return !(out[3 * i] == 0xEE && out[3 * i + 1] == 0xEE && out[3 * i + 2] == 0xEE);
    }
    // Column and row of the pixel the colour came from.
    std::pair<int, int> pixel(std::size_t i) const {
        const int c = out[3 * i] | (out[3 * i + 1] & 0x0F) << 8;
        const int r = out[3 * i + 2] | (out[3 * i + 1] >> 4) << 8;
        return {c, r};
    }
};

Fused fuse(const orb::FusionParams& p, const Points& pts, const std::vector<std::uint8_t>& img) {
    Fused run;
    run.out.assign(pts.x.size() * 3, 0xEE);  // sentinel: never a colour of coordinateImage here
    orb::FusionWorkspace ws;
    orb::fuseColors(p, img.data(), pts.x.data(), pts.y.data(), pts.z.data(), pts.x.size(), run.out.data(), ws);
    return run;
}

TEST(FusionColors, ProjectionPixelAndGridCell) {
    const auto img = coordinateImage();
    Points pts;
    pts.add(10.5f, 20.9f, 1000.0f);   // 0: pixel (10, 20), cell (2, 5)
    pts.add(11.0f, 23.5f, 1200.0f);   // 1: same cell, pixel (11, 23): mean 1100
    pts.add(12.0f, 20.0f, 3000.0f);   // 2: cell (3, 5): alone, so coloured
    const Fused run = fuse(plainParams(), pts, img);
    ASSERT_TRUE(run.coloured(0));
    EXPECT_EQ(run.pixel(0), std::make_pair(10, 20));
    EXPECT_FALSE(run.coloured(1)) << "1200 lies more than 25 behind the cell mean 1100";
    ASSERT_TRUE(run.coloured(2));
    EXPECT_EQ(run.pixel(2), std::make_pair(12, 20));
}

TEST(FusionColors, OcclusionByTheCellMean) {
    const auto img = coordinateImage();
    Points pts;
    pts.add(400.2f, 300.2f, 1000.0f);
    pts.add(401.7f, 302.9f, 1100.0f);  // same 4 x 4 cell: mean 1050
    pts.add(900.0f, 100.0f, 4000.0f);  // alone in its cell
    pts.add(800.0f, 800.0f, 1000.0f);
    pts.add(801.0f, 801.0f, 1025.0f);  // mean 1012.5: 1037.5 >= 1025, both coloured
    const Fused run = fuse(plainParams(), pts, img);
    EXPECT_TRUE(run.coloured(0));
    EXPECT_FALSE(run.coloured(1));
    EXPECT_TRUE(run.coloured(2));
    EXPECT_TRUE(run.coloured(3));
    EXPECT_TRUE(run.coloured(4));
}

TEST(FusionColors, DepthAndOwnXRanges) {
    const auto img = coordinateImage();
    // d = x + 3000: a point at x 3000 projects at depth 6000 and is neither
    // counted nor coloured; it does not hide a near point in its cell.
    {
        Points pts;
        pts.addRaw(3000.0f, 100.0f * 6000.0f, 100.0f * 6000.0f);
        pts.addRaw(10.0f, 101.0f * 3010.0f, 101.0f * 3010.0f);
        const Fused run = fuse(plainParams(3000.0f), pts, img);
        EXPECT_FALSE(run.coloured(0));
        EXPECT_TRUE(run.coloured(1));
    }
    // d = x + 1000: a point with x = 0 (or below) is never coloured although
    // its projection is in the image; x at or beyond 5000 neither.
    {
        Points pts;
        pts.addRaw(0.0f, 50.0f * 1000.0f, 50.0f * 1000.0f);
        pts.addRaw(-5.0f, 60.0f * 995.0f, 60.0f * 995.0f);
        pts.addRaw(5000.0f, 0.0f, 0.0f);
        const Fused run = fuse(plainParams(1000.0f), pts, img);
        EXPECT_FALSE(run.coloured(0));
        EXPECT_FALSE(run.coloured(1));
        EXPECT_FALSE(run.coloured(2));
    }
}

TEST(FusionColors, PointsOutsideTheImageAndTheNegativeColumnEdge) {
    const auto img = coordinateImage();
    Points pts;
    pts.add(1600.0f, 10.0f, 1000.0f);  // 0: just past the right edge
    pts.add(10.0f, 1200.5f, 1000.0f);  // 1: below the image
    pts.add(-1.5f, 10.0f, 1000.0f);    // 2: truncates to -1
    pts.add(-0.5f, 40.0f, 1000.0f);    // 3: (-1, 0) alone: its cell has no count
    pts.add(-0.5f, 80.0f, 1000.0f);    // 4: (-1, 0), cell (0, 20) counted by point 5
    pts.add(2.0f, 81.0f, 990.0f);      // 5
    pts.add(1599.9f, 1199.9f, 800.0f); // 6: last pixel
    const Fused run = fuse(plainParams(), pts, img);
    EXPECT_FALSE(run.coloured(0));
    EXPECT_FALSE(run.coloured(1));
    EXPECT_FALSE(run.coloured(2));
    EXPECT_FALSE(run.coloured(3));
    ASSERT_TRUE(run.coloured(4));
    EXPECT_EQ(run.pixel(4), std::make_pair(0, 80));
    EXPECT_TRUE(run.coloured(5));
    ASSERT_TRUE(run.coloured(6));
    EXPECT_EQ(run.pixel(6), std::make_pair(1599, 1199));
}

TEST(FusionColors, NonFiniteAndBehindTheCameraStayUncoloured) {
    const auto img = coordinateImage();
    orb::FusionParams p = plainParams();
    Points pts;
    pts.addRaw(NAN, 1.0f, 1.0f);
    pts.addRaw(100.0f, INFINITY, 1.0f);
    pts.addRaw(1e-30f, 1.0f, 1.0f);  // projects far outside
    pts.add(10.0f, 10.0f, 1000.0f);  // counted in cell (2, 2)
    // Own x in range but projected depth negative (d = x - 2000): behind the
    // camera, never coloured even where its mirrored projection meets a
    // counted cell.
    Points behind;
    behind.addRaw(500.0f, 10.0f * -1500.0f, 10.0f * -1500.0f);  // d = -1500, "pixel" (10, 10)
    const Fused run = fuse(p, pts, img);
    EXPECT_FALSE(run.coloured(0));
    EXPECT_FALSE(run.coloured(1));
    EXPECT_FALSE(run.coloured(2));
    EXPECT_TRUE(run.coloured(3));
    Points mixed = behind;
    mixed.addRaw(2400.0f, 10.0f * 400.0f, 10.0f * 400.0f);  // d = 400 at pixel (10, 10)
    const Fused run2 = fuse(plainParams(-2000.0f), mixed, img);
    EXPECT_FALSE(run2.coloured(0));
    EXPECT_TRUE(run2.coloured(1));
}

// ------------------------------------------------------------ camera set-up

TEST(FusionInit, MatchesOpenCvAndRejectsUnusableValues) {
    const float intr[10] = {760, 760, 800.5f, 600.5f, 0.021f, -0.0045f, 0.0012f, -0.00018f, 0, 0};
    const float extr[12] = {0, -1, 0, 0, 0, -1, 1, 0, 0, 0, 2, 0};
    orb::FusionParams p;
    ASSERT_TRUE(orb::initFusionState(p, intr, H, W, extr));
    EXPECT_EQ(p.width, W);
    EXPECT_EQ(p.height, H);

    cv::Matx33f K(760, 0, 800.5f, 0, 760, 600.5f, 0, 0, 1);
    cv::Mat D = (cv::Mat_<float>(1, 4) << intr[4], intr[5], intr[6], intr[7]);
    cv::Mat newK, m1, m2;
    cv::fisheye::estimateNewCameraMatrixForUndistortRectify(K, D, cv::Size(W, H), cv::Mat::eye(3, 3, CV_64F), newK,
                                                            1.0, cv::Size(W, H), 1.0);
    newK.convertTo(newK, CV_32F);
    EXPECT_EQ(cv::norm(p.newCameraMatrix, newK, cv::NORM_INF), 0.0);
    cv::fisheye::initUndistortRectifyMap(K, D, cv::Mat::eye(3, 3, CV_64F), newK, cv::Size(W, H), CV_16SC2, m1, m2);
    EXPECT_EQ(cv::norm(p.map1, m1, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(p.map2, m2, cv::NORM_INF), 0.0);
    // M = K' R and t = K' T.
    const cv::Mat R(3, 3, CV_32F, const_cast<float*>(extr));
    const cv::Mat M = newK * R;
    for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(p.M[i], M.at<float>(i / 3, i % 3));
    EXPECT_FLOAT_EQ(p.t[0], newK.at<float>(0, 1) * 2);
    EXPECT_FLOAT_EQ(p.t[1], newK.at<float>(1, 1) * 2);
    EXPECT_FLOAT_EQ(p.t[2], newK.at<float>(2, 1) * 2);

    orb::FusionParams untouched;
    float bad[10];
    std::memcpy(bad, intr, sizeof bad);
    bad[1] = 0;
    EXPECT_FALSE(orb::initFusionState(untouched, bad, H, W, extr));
    float badExtr[12];
    std::memcpy(badExtr, extr, sizeof badExtr);
    badExtr[10] = NAN;
    EXPECT_FALSE(orb::initFusionState(untouched, intr, H, W, badExtr));
    EXPECT_EQ(untouched.width, 0);
}

// The simulator's camera parameters and pattern make fusion meaningful: a
// wall straight ahead takes the pattern's colours where its points land.
TEST(FusionScene, SimulatorDefaultsColourAWallWithThePattern) {
    orbsim::SettingsStore store("127.0.0.2");
    const std::vector<double> in = store.intrinsics();
    const std::vector<double> ex = store.extrinsics();
    ASSERT_GE(in.size(), 8u);
    ASSERT_GE(ex.size(), 12u);
    float intr[10] = {}, extr[12] = {};
    for (std::size_t i = 0; i < 10 && i < in.size(); ++i) intr[i] = static_cast<float>(in[i]);
    for (std::size_t i = 0; i < 12; ++i) extr[i] = static_cast<float>(ex[i]);
    orb::FusionParams p;
    ASSERT_TRUE(orb::initFusionState(p, intr, H, W, extr));

    const cv::Mat pattern = orbsim::makeTestPattern();
    orbsim::SceneFrame frame;
    orbsim::makeWallScene(1000.0, 0.0)->render(0, frame);
    Points pts;
    for (const auto& sp : frame.first) pts.addRaw(sp.valid ? sp.x : 0, sp.valid ? sp.y : 0, sp.valid ? sp.z : 0);
    ASSERT_EQ(pts.x.size(), orb::kFusionPoints);
    std::vector<std::uint8_t> out(orb::kFusionOutputBytes, 0);
    orb::FusionWorkspace ws;
    orb::fuseColors(p, pattern.data, pts.x.data(), pts.y.data(), pts.z.data(), pts.x.size(), out.data(), ws);

    auto colourOf = [&](float x, float y, float z) {
        Points one;
        one.addRaw(x, y, z);
        std::vector<std::uint8_t> o(3, 0);
        orb::FusionWorkspace w;
        orb::fuseColors(p, pattern.data, one.x.data(), one.y.data(), one.z.data(), 1, o.data(), w);
        return cv::Vec3b(o[0], o[1], o[2]);
    };
    // Straight ahead: the centre block. Up and to the left (y negative, z
    // positive): the top-left quadrant. Down and to the right: bottom-right.
    EXPECT_EQ(colourOf(1000, 0, 0), orbsim::testPatternColor(600, 800));
    EXPECT_EQ(colourOf(1000, -500, 300), orbsim::testPatternColor(100, 100));
    EXPECT_EQ(colourOf(1000, 500, -300), orbsim::testPatternColor(1100, 1500));

    // Most of the wall is coloured, each point with a pattern colour (or a
    // blend along a block edge).
    std::size_t coloured = 0;
    for (std::size_t i = 0; i < orb::kFusionPoints; ++i)
        if (out[3 * i] || out[3 * i + 1] || out[3 * i + 2]) ++coloured;
    EXPECT_GT(coloured, orb::kFusionPoints / 2);
}

}  // namespace
