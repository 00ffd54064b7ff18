// Guards RGB images and RGB-D fusion against wrong pixels, colours from the wrong place and images changing under their readers: decoding, rotation and undistortion against OpenCV, publication, and the fusion maths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "imu_rgb/fusion.h"
#include "imu_rgb/rgb_stream.h"
#include "rgb_sender.h"
#include "scene.h"
#include "settings_store.h"
#include "support/harness.h"

namespace {

using orbtest::Bytes;
using namespace std::chrono_literals;
constexpr int W = 1600, H = 1200;
const float kIntrinsics[10] = {760, 760, 800.5f, 600.5f, 0.021f, -0.0045f, 0.0012f, -0.00018f, 0, 0};

bool near(const cv::Vec3b& a, const cv::Vec3b& b, int tol = 6) {
    return std::abs(a[0] - b[0]) <= tol && std::abs(a[1] - b[1]) <= tol && std::abs(a[2] - b[2]) <= tol;
}

cv::Mat openCvUndistort(const cv::Mat& img, const float in[10]) {
    cv::Matx33f K(in[0], 0, in[2], 0, in[1], in[3], 0, 0, 1);
    cv::Mat m1, m2, out;
    cv::fisheye::initUndistortRectifyMap(K, cv::Vec4f(in[4], in[5], in[6], in[7]), cv::Mat::eye(3, 3, CV_64F), K,
                                         img.size(), CV_16SC2, m1, m2);
    cv::remap(img, out, m1, m2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    return out;
}
bool same(const cv::Mat& a, const cv::Mat& b) { return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0.0; }

TEST(RgbImages, DecodedInRgbOrderOrDroppedAndTurnedByTheirCode) {
    const cv::Mat pattern = orbsim::makeTestPattern();
    const Bytes jpeg = orbsim::encodeJpeg(pattern), nv12 = orbsim::encodeNv12(pattern);
    const std::pair<std::uint8_t, const Bytes*> encoded[] = {{orb::kRgbFormatJpeg, &jpeg}, {orb::kRgbFormatNv12, &nv12}};
    for (const auto& [format, bytes] : encoded) {
        cv::Mat img;
        ASSERT_EQ(orb::DecodeRgbFrame(format, *bytes, img), orb::RgbDecode::Image);
        ASSERT_TRUE(img.type() == CV_8UC3 && img.rows == H && img.cols == W);
        for (auto [r, c] : {std::pair{100, 100}, {100, 1500}, {1100, 100}, {1100, 1500}, {600, 800}})
            EXPECT_TRUE(near(img.at<cv::Vec3b>(r, c), orbsim::testPatternColor(r, c))) << int(format) << " " << r << "," << c;
    }
    cv::Mat img;
    EXPECT_EQ(orb::DecodeRgbFrame(orb::kRgbFormatNv12, Bytes(nv12.begin(), nv12.end() - 1), img), orb::RgbDecode::Dropped);
    EXPECT_EQ(orb::DecodeRgbFrame(orb::kRgbFormatJpeg, Bytes(5000, 1), img), orb::RgbDecode::Dropped);
    EXPECT_EQ(orb::DecodeRgbFrame(orb::kRgbFormatJpeg, orbsim::encodeJpeg(cv::Mat(120, 160, CV_8UC3)), img), orb::RgbDecode::Dropped);
    EXPECT_EQ(orb::DecodeRgbFrame(1, Bytes(5000, 1), img), orb::RgbDecode::Empty);
    EXPECT_TRUE(img.empty());

    // 1 turns by 180 degrees, 2 mirrors left-right, 3 top-bottom, others keep.
    cv::Mat base(H, W, CV_8UC3, cv::Scalar(0, 0, 0));
    base.at<cv::Vec3b>(37, 0) = cv::Vec3b(1, 2, 3);
    const int cases[][3] = {{0, 37, 0}, {1, H - 38, W - 1}, {2, 37, W - 1}, {3, H - 38, 0}, {9, 37, 0}};
    for (const auto& c : cases) {
        cv::Mat turned = base.clone();
        orb::RotateRgbImage(turned, static_cast<std::uint8_t>(c[0]));
        EXPECT_EQ(turned.at<cv::Vec3b>(c[1], c[2]), cv::Vec3b(1, 2, 3)) << c[0];
        EXPECT_EQ(cv::countNonZero(turned.reshape(1)), 3) << c[0];
    }
}

TEST(RgbImages, CachedUndistortionMapsGiveOpenCvsPixelsForEachImage) {
    const float other[10] = {700, 710, 790, 610, 0.05f, 0.01f, 0, 0, 0, 0};
    const cv::Mat a = orbsim::makeTestPattern();
    cv::Mat b(H, W, CV_8UC3), small;
    cv::randu(b, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::resize(b, small, cv::Size(800, 600));  // another size rebuilds the maps too
    orb::UndistortMaps cache;
    const std::pair<const cv::Mat*, const float*> steps[] = {{&a, kIntrinsics}, {&b, kIntrinsics}, {&b, other}, {&a, kIntrinsics}, {&small, other}};
    for (const auto& [img, intr] : steps) EXPECT_TRUE(same(orb::UndistortRgbImage(*img, intr, &cache), openCvUndistort(*img, intr)));
    testing::internal::CaptureStderr();
    EXPECT_TRUE(orb::UndistortRgbImage(cv::Mat(), kIntrinsics, &cache).empty());
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    float bad[10];
    std::memcpy(bad, kIntrinsics, sizeof bad);
    EXPECT_TRUE(orb::IntrinsicsUsable(bad));
    bad[0] = 0;
    EXPECT_FALSE(orb::IntrinsicsUsable(bad));
    bad[0] = 760, bad[5] = NAN;
    EXPECT_FALSE(orb::IntrinsicsUsable(bad));
}

orb::RgbFrame frameOf(std::uint8_t format, Bytes bytes, std::uint32_t id) {
    orb::RgbFrame f;
    f.header.bytes[3] = format;
    f.header.frameId = id;
    f.header.seconds = 1000 + id;
    f.header.microseconds = 5 * id;
    f.bytes = std::move(bytes);
    return f;
}

TEST(RgbImages, PublishedOnceRotatedWithTheFusionSourceBeforeUndistortion) {
    orb::RgbShared s;
    const Bytes nv12 = orbsim::encodeNv12(orbsim::makeTestPattern());
    ASSERT_TRUE(orb::ProcessRgbFrame(s, frameOf(orb::kRgbFormatNv12, nv12, 3), 2));
    ZelOrbRgbData rec{};
    ASSERT_TRUE(orb::TakeRgbImage(s, rec, 0ms));
    EXPECT_EQ(std::make_tuple(+rec.size, +rec.width, +rec.height, +rec.channels, +rec.frame_id, +rec.seconds, +rec.microseconds),
              std::make_tuple(std::uint64_t{5760000}, 1600u, 1200u, 3u, 3u, std::uint64_t{1003}, 15u));
    EXPECT_TRUE(near(cv::Vec3b(rec.data[300], rec.data[301], rec.data[302]), orbsim::testPatternColor(0, 1500))) << "mirrored";
    EXPECT_EQ(std::memcmp(s.fusionSource.data, rec.data, orb::kRgbImageBytes), 0);
    ZelOrbRgbData again = rec;
    again.frame_id = 999;
    EXPECT_FALSE(orb::TakeRgbImage(s, again, 20ms));
    EXPECT_EQ(+again.frame_id, 999u) << "a failed take leaves the record alone";

    // Undistortion applies to the published image only; images held by a
    // reader (as fusion holds its source) never change under it.
    std::memcpy(s.intrinsics, kIntrinsics, sizeof kIntrinsics);
    s.undistort = true;
    ASSERT_TRUE(orb::ProcessRgbFrame(s, frameOf(orb::kRgbFormatNv12, nv12, 4), 0));
    cv::Mat decoded;
    ASSERT_EQ(orb::DecodeRgbFrame(orb::kRgbFormatNv12, nv12, decoded), orb::RgbDecode::Image);
    EXPECT_TRUE(same(s.fusionSource, decoded));
    EXPECT_TRUE(same(s.image, openCvUndistort(decoded, kIntrinsics)));
    const cv::Mat heldSource = s.fusionSource, heldImage = s.image;
    const cv::Mat sourceCopy = heldSource.clone(), imageCopy = heldImage.clone();
    cv::Mat other(H, W, CV_8UC3);
    for (std::uint32_t id = 5; id < 11; ++id) {
        cv::randu(other, cv::Scalar::all(0), cv::Scalar::all(255));
        ASSERT_TRUE(orb::ProcessRgbFrame(s, frameOf(orb::kRgbFormatNv12, orbsim::encodeNv12(other), id), 1));
    }
    EXPECT_TRUE(same(heldSource, sourceCopy) && same(heldImage, imageCopy));

    // Undecodable frames publish nothing; an unknown format an empty image.
    orb::RgbShared t;
    EXPECT_FALSE(orb::ProcessRgbFrame(t, frameOf(orb::kRgbFormatJpeg, Bytes(100, 1), 1), 0));
    EXPECT_FALSE(orb::ProcessRgbFrame(t, frameOf(orb::kRgbFormatNv12, Bytes(100, 1), 2), 0));
    EXPECT_FALSE(orb::TakeRgbImage(t, rec, 0ms));
    t.undistort = true;
    t.intrinsics[0] = t.intrinsics[1] = 500;
    EXPECT_TRUE(orb::ProcessRgbFrame(t, frameOf(7, Bytes(100, 1), 4), 0));
    ASSERT_TRUE(orb::TakeRgbImage(t, rec, 0ms));
    EXPECT_TRUE(+rec.size == 0 && +rec.data == nullptr && +rec.width == 1600u && +rec.frame_id == 4u && t.fusionSource.empty());
}

// ------------------------------------------------------------------- fusion

// Maps that copy the image unchanged and a projection that reads a point
// (x, y, z) as depth d = x + dOffset at pixel (y / x, z / x).
orb::FusionParams plainParams(float dOffset) {
    static const orb::FusionParams base = [] {
        orb::FusionParams p;
        p.width = W;
        p.height = H;
        cv::Mat mx(H, W, CV_32F), my(H, W, CV_32F);
        for (int r = 0; r < H; ++r)
            for (int c = 0; c < W; ++c) mx.at<float>(r, c) = float(c), my.at<float>(r, c) = float(r);
        cv::convertMaps(mx, my, p.map1, p.map2, CV_16SC2);
        const float M[9] = {0, 1, 0, 0, 0, 1, 1, 0, 0};
        std::memcpy(p.M, M, sizeof M);
        return p;
    }();
    orb::FusionParams p = base;  // the maps are shared, never written
    p.t[2] = dOffset;
    return p;
}

struct Pt {
    float x, y, z;
    bool coloured;
    int col = -1, row = -1;  // the pixel its colour comes from, when checked
};
// A point at depth d seen at pixel (u, v) through plainParams(0).
Pt seen(float u, float v, float d, bool coloured, int col = -1, int row = -1) { return {d, u * d, v * d, coloured, col, row}; }

TEST(Fusion, PointsTakeTheColourOfTheirPixelUnlessHiddenOutsideOrOutOfRange) {
    // Every pixel carries its own column and row, so a colour names its pixel.
    std::vector<std::uint8_t> img(std::size_t(W) * H * 3);
    for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c) {
            std::uint8_t* p = &img[(std::size_t(r) * W + c) * 3];
            p[0] = c & 0xFF, p[1] = static_cast<std::uint8_t>(c >> 8 | (r >> 8) << 4), p[2] = r & 0xFF;
        }
    const float inf = INFINITY, nan = NAN;
    const std::pair<float, std::vector<Pt>> cases[] = {
        // 4 x 4 grid cells: a point more than 25 behind its cell's mean stays uncoloured.
        {0, {seen(10.5f, 20.9f, 1000, true, 10, 20), seen(11, 23.5f, 1200, false), seen(12, 20, 3000, true, 12, 20),
             seen(400.2f, 300.2f, 1000, true), seen(401.7f, 302.9f, 1100, false), seen(800, 800, 1000, true), seen(801, 801, 1025, true)}},
        // Edges: past the right or lower edge, truncating to -1, a cell without count.
        {0, {seen(1600, 10, 1000, false), seen(10, 1200.5f, 1000, false), seen(-1.5f, 10, 1000, false), seen(-0.5f, 40, 1000, false),
             seen(-0.5f, 80, 1000, true, 0, 80), seen(2, 81, 990, true), seen(1599.9f, 1199.9f, 800, true, 1599, 1199)}},
        {0, {{nan, 1, 1, false}, {100, inf, 1, false}, {1e-30f, 1, 1, false}, seen(10, 10, 1000, true)}},
        // Projected depth 6000 is neither counted nor coloured, nor hides a near point.
        {3000, {{3000, 100 * 6000, 100 * 6000, false}, {10, 101 * 3010, 101 * 3010, true}}},
        // Own x at or below 0, or at 5000 and beyond: never coloured.
        {1000, {{0, 50000, 50000, false}, {-5, 60 * 995, 60 * 995, false}, {5000, 0, 0, false}}},
        // Behind the camera (d negative), even where its mirror image meets a counted cell.
        {-2000, {{500, 10 * -1500, 10 * -1500, false}, {2400, 10 * 400, 10 * 400, true}}},
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const std::vector<Pt>& pts = cases[k].second;
        std::vector<float> x, y, z;
        for (const Pt& p : pts) x.push_back(p.x), y.push_back(p.y), z.push_back(p.z);
        std::vector<std::uint8_t> out(pts.size() * 3, 0xEE);  // never a colour of this image here
        orb::FusionWorkspace ws;
        orb::FuseColors(plainParams(cases[k].first), img.data(), x.data(), y.data(), z.data(), pts.size(), out.data(), ws);
        for (std::size_t i = 0; i < pts.size(); ++i) {
            const std::uint8_t* o = &out[3 * i];
            EXPECT_EQ(!(o[0] == 0xEE && o[1] == 0xEE && o[2] == 0xEE), pts[i].coloured) << "case " << k << " point " << i;
            if (pts[i].col >= 0) {
                EXPECT_EQ(std::make_pair(o[0] | (o[1] & 0x0F) << 8, o[2] | (o[1] >> 4) << 8), std::make_pair(pts[i].col, pts[i].row));
            }
        }
    }
}

TEST(Fusion, CameraSetUpMatchesOpenCvAndRefusesUnusableValues) {
    const float extr[12] = {0, -1, 0, 0, 0, -1, 1, 0, 0, 0, 2, 0};
    orb::FusionParams p;
    ASSERT_TRUE(orb::InitFusionState(p, kIntrinsics, H, W, extr));
    EXPECT_TRUE(p.width == W && p.height == H);
    cv::Matx33f K(760, 0, 800.5f, 0, 760, 600.5f, 0, 0, 1);
    cv::Mat D = (cv::Mat_<float>(1, 4) << kIntrinsics[4], kIntrinsics[5], kIntrinsics[6], kIntrinsics[7]), newK, m1, m2;
    cv::fisheye::estimateNewCameraMatrixForUndistortRectify(K, D, cv::Size(W, H), cv::Mat::eye(3, 3, CV_64F), newK, 1.0, cv::Size(W, H), 1.0);
    newK.convertTo(newK, CV_32F);
    EXPECT_TRUE(same(p.newCameraMatrix, newK));
    cv::fisheye::initUndistortRectifyMap(K, D, cv::Mat::eye(3, 3, CV_64F), newK, cv::Size(W, H), CV_16SC2, m1, m2);
    EXPECT_TRUE(same(p.map1, m1) && same(p.map2, m2));
    const cv::Mat M = newK * cv::Mat(3, 3, CV_32F, const_cast<float*>(extr));  // M = K' R, t = K' T
    for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(p.M[i], M.at<float>(i / 3, i % 3));
    for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(p.t[i], newK.at<float>(i, 1) * 2);

    orb::FusionParams untouched;
    float bad[10], badExtr[12];
    std::memcpy(bad, kIntrinsics, sizeof bad);
    std::memcpy(badExtr, extr, sizeof badExtr);
    bad[1] = 0;
    badExtr[10] = NAN;
    EXPECT_FALSE(orb::InitFusionState(untouched, bad, H, W, extr));
    EXPECT_FALSE(orb::InitFusionState(untouched, kIntrinsics, H, W, badExtr));
    EXPECT_EQ(untouched.width, 0);
}

// The simulator's camera parameters and test pattern make fusion meaningful:
// a wall straight ahead takes the pattern's colours where its points land.
TEST(Fusion, SimulatorDefaultsColourAWallWithThePattern) {
    orbsim::SettingsStore store("127.0.0.2");
    float intr[10] = {}, extr[12] = {};
    for (std::size_t i = 0; i < 10; ++i) intr[i] = static_cast<float>(store.intrinsics().at(i));
    for (std::size_t i = 0; i < 12; ++i) extr[i] = static_cast<float>(store.extrinsics().at(i));
    orb::FusionParams p;
    ASSERT_TRUE(orb::InitFusionState(p, intr, H, W, extr));
    const cv::Mat pattern = orbsim::makeTestPattern();
    orbsim::SceneFrame frame;
    orbsim::makeWallScene(1000.0, 0.0)->render(0, frame);
    std::vector<float> x, y, z;
    for (const auto& sp : frame.first) x.push_back(sp.valid ? sp.x : 0), y.push_back(sp.valid ? sp.y : 0), z.push_back(sp.valid ? sp.z : 0);
    // Straight ahead: the centre block; up and left: top-left; down and right: bottom-right.
    x.insert(x.end(), {1000, 1000, 1000}), y.insert(y.end(), {0, -500, 500}), z.insert(z.end(), {0, 300, -300});
    std::vector<std::uint8_t> out(x.size() * 3, 0);
    orb::FusionWorkspace ws;
    orb::FuseColors(p, pattern.data, x.data(), y.data(), z.data(), x.size(), out.data(), ws);
    auto colour = [&](std::size_t i) { return cv::Vec3b(out[3 * i], out[3 * i + 1], out[3 * i + 2]); };
    EXPECT_EQ(colour(orb::kFusionPoints), orbsim::testPatternColor(600, 800));
    EXPECT_EQ(colour(orb::kFusionPoints + 1), orbsim::testPatternColor(100, 100));
    EXPECT_EQ(colour(orb::kFusionPoints + 2), orbsim::testPatternColor(1100, 1500));
    std::size_t coloured = 0;
    for (std::size_t i = 0; i < orb::kFusionPoints; ++i) coloured += colour(i) != cv::Vec3b(0, 0, 0);
    EXPECT_GT(coloured, orb::kFusionPoints / 2);
}

}  // namespace
