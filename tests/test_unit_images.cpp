// Guards RGB images and fusion against wrong pixels, colours from the wrong place and images changed under readers.

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "imu_rgb/fusion.h"
#include "imu_rgb/rgb_stream.h"
#include "rgb_sender.h"
#include "support/harness.h"

namespace {

using orbtest::Bytes;
using namespace std::chrono_literals;
constexpr int W = 1600, H = 1200;
const float kIntrinsics[10] = {760, 760, 800.5f, 600.5f, 0.021f, -0.0045f, 0.0012f, -0.00018f, 0, 0};

bool near(const cv::Vec3b& a, const cv::Vec3b& b) {
    return std::abs(a[0] - b[0]) <= 6 && std::abs(a[1] - b[1]) <= 6 && std::abs(a[2] - b[2]) <= 6;
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

TEST(RgbImages, UndecodableFramesAreDroppedAndImagesTurnedByTheirCode) {
    const Bytes nv12 = orbsim::encodeNv12(orbsim::makeTestPattern());
    cv::Mat img;
    using orb::RgbDecode;
    EXPECT_EQ(orb::decodeRgbFrame(orb::kRgbFormatNv12, Bytes(nv12.begin(), nv12.end() - 1), img), RgbDecode::Dropped);
    EXPECT_EQ(orb::decodeRgbFrame(orb::kRgbFormatJpeg, Bytes(5000, 1), img), RgbDecode::Dropped);
    const Bytes small = orbsim::encodeJpeg(cv::Mat(120, 160, CV_8UC3));  // not 1600 x 1200
    EXPECT_EQ(orb::decodeRgbFrame(orb::kRgbFormatJpeg, small, img), RgbDecode::Dropped);
    EXPECT_EQ(orb::decodeRgbFrame(1, Bytes(5000, 1), img), RgbDecode::Empty);
    EXPECT_TRUE(img.empty());
    // 1 turns by 180 degrees, 2 mirrors left-right, 3 top-bottom, others keep.
    cv::Mat base(H, W, CV_8UC3, cv::Scalar(0, 0, 0));
    base.at<cv::Vec3b>(37, 0) = cv::Vec3b(1, 2, 3);
    const int cases[][3] = {{0, 37, 0}, {1, H - 38, W - 1}, {2, 37, W - 1}, {3, H - 38, 0}, {9, 37, 0}};
    for (const auto& c : cases) {
        cv::Mat turned = base.clone();
        orb::rotateRgbImage(turned, static_cast<std::uint8_t>(c[0]));
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
    const std::pair<const cv::Mat*, const float*> steps[] = {
        {&a, kIntrinsics}, {&b, kIntrinsics}, {&b, other}, {&a, kIntrinsics}, {&small, other}};
    for (auto [m, in] : steps) EXPECT_TRUE(same(orb::undistortRgbImage(*m, in, &cache), openCvUndistort(*m, in)));
    testing::internal::CaptureStderr();
    EXPECT_TRUE(orb::undistortRgbImage(cv::Mat(), kIntrinsics, &cache).empty());
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    float bad[10];
    std::memcpy(bad, kIntrinsics, sizeof bad);
    EXPECT_TRUE(orb::intrinsicsUsable(bad));
    bad[0] = 0;
    EXPECT_FALSE(orb::intrinsicsUsable(bad));
    bad[0] = 760, bad[5] = NAN;
    EXPECT_FALSE(orb::intrinsicsUsable(bad));
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
    ASSERT_TRUE(orb::processRgbFrame(s, frameOf(orb::kRgbFormatNv12, nv12, 3), 2));
    ZelOrbRgbData rec{};
    ASSERT_TRUE(orb::takeRgbImage(s, rec, 0ms));
    EXPECT_TRUE(rec.size == 5760000 && rec.width == 1600 && rec.height == 1200 && rec.channels == 3 &&
                rec.frame_id == 3 && rec.seconds == 1003 && rec.microseconds == 15);
    EXPECT_TRUE(near(cv::Vec3b(rec.data[300], rec.data[301], rec.data[302]), orbsim::testPatternColor(0, 1500)));
    EXPECT_EQ(std::memcmp(s.fusionSource->data, rec.data, orb::kRgbImageBytes), 0);
    // Undistortion applies to the published image only; images held by a
    // reader (as fusion holds its source) never change under it.
    std::memcpy(s.intrinsics, kIntrinsics, sizeof kIntrinsics);
    s.undistort = true;
    ASSERT_TRUE(orb::processRgbFrame(s, frameOf(orb::kRgbFormatNv12, nv12, 4), 0));
    cv::Mat decoded;
    ASSERT_EQ(orb::decodeRgbFrame(orb::kRgbFormatNv12, nv12, decoded), orb::RgbDecode::Image);
    EXPECT_TRUE(same(*s.fusionSource, decoded));
    EXPECT_TRUE(same(*s.image, openCvUndistort(decoded, kIntrinsics)));
    const orb::RgbImageRef heldSource = s.fusionSource, heldImage = s.image;
    const cv::Mat sourceCopy = heldSource->clone(), imageCopy = heldImage->clone();
    cv::Mat other(H, W, CV_8UC3);
    for (std::uint32_t id = 5; id < 11; ++id) {
        cv::randu(other, cv::Scalar::all(0), cv::Scalar::all(255));
        ASSERT_TRUE(orb::processRgbFrame(s, frameOf(orb::kRgbFormatNv12, orbsim::encodeNv12(other), id), 1));
    }
    EXPECT_TRUE(same(*heldSource, sourceCopy) && same(*heldImage, imageCopy));

    // Undecodable frames publish nothing; an unknown format an empty image.
    orb::RgbShared t;
    EXPECT_FALSE(orb::processRgbFrame(t, frameOf(orb::kRgbFormatJpeg, Bytes(100, 1), 1), 0));
    EXPECT_FALSE(orb::processRgbFrame(t, frameOf(orb::kRgbFormatNv12, Bytes(100, 1), 2), 0));
    EXPECT_FALSE(orb::takeRgbImage(t, rec, 0ms));
    t.undistort = true;
    t.intrinsics[0] = t.intrinsics[1] = 500;
    EXPECT_TRUE(orb::processRgbFrame(t, frameOf(7, Bytes(100, 1), 4), 0));
    ASSERT_TRUE(orb::takeRgbImage(t, rec, 0ms));
    EXPECT_TRUE(rec.size == 0 && !rec.data && rec.width == 1600 && rec.frame_id == 4 && (!t.fusionSource || t.fusionSource->empty()));
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

TEST(Fusion, PointsTakeTheColourOfTheirPixelUnlessHiddenOrOutside) {
    // Every pixel carries its own column and row, so a colour names its pixel.
    std::vector<std::uint8_t> img(std::size_t(W) * H * 3);
    for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c) {
            std::uint8_t* p = &img[(std::size_t(r) * W + c) * 3];
            p[0] = c & 0xFF, p[1] = static_cast<std::uint8_t>(c >> 8 | (r >> 8) << 4), p[2] = r & 0xFF;
        }
    // Points at depth d seen at pixel (u, v): in 4 x 4 cells, one more than 25
    // behind its cell's mean stays uncoloured; edges and projected depths of
    // 5000 and more give no colour; a far point hides no near one.
    const float pts[][3] = {{10.5f, 20.9f, 1000}, {11, 23.5f, 1200}, {1599.9f, 1199.9f, 800}, {-0.5f, 80, 1000},
                            {2, 81, 990}, {1600, 10, 1000}, {-1.5f, 10, 1000}, {100, 100, 6000}, {101, 101, 3010}};
    const int want[][2] = {{10, 20}, {-1, 0}, {1599, 1199}, {0, 80}, {2, 81}, {-1, 0}, {-1, 0}, {-1, 0}, {101, 101}};
    std::vector<float> x, y, z;
    for (const auto& p : pts) x.push_back(p[2]), y.push_back(p[0] * p[2]), z.push_back(p[1] * p[2]);
    std::vector<std::uint8_t> out(x.size() * 3, 0xEE);  // never a colour of this image here
    orb::FusionWorkspace ws;
    orb::fuseColors(plainParams(0), img.data(), x.data(), y.data(), z.data(), x.size(), out.data(), ws);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const std::uint8_t* o = &out[3 * i];
        const bool coloured = !(o[0] == 0xEE && o[1] == 0xEE && o[2] == 0xEE);
        EXPECT_EQ(coloured ? std::make_pair(o[0] | (o[1] & 0x0F) << 8, o[2] | (o[1] >> 4) << 8) : std::make_pair(-1, 0),
                  std::make_pair(want[i][0], want[i][1])) << "point " << i;
    }
}

TEST(Fusion, CameraSetUpMatchesOpenCvAndRefusesUnusableValues) {
    const float extr[12] = {0, -1, 0, 0, 0, -1, 1, 0, 0, 0, 2, 0};
    orb::FusionParams p;
    ASSERT_TRUE(orb::initFusionState(p, kIntrinsics, H, W, extr));
    EXPECT_TRUE(p.width == W && p.height == H);
    cv::Matx33f K(760, 0, 800.5f, 0, 760, 600.5f, 0, 0, 1);
    cv::Mat D = (cv::Mat_<float>(1, 4) << kIntrinsics[4], kIntrinsics[5], kIntrinsics[6], kIntrinsics[7]), newK, m1, m2;
    const cv::Size size(W, H);
    const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
    cv::fisheye::estimateNewCameraMatrixForUndistortRectify(K, D, size, I, newK, 1.0, size, 1.0);
    newK.convertTo(newK, CV_32F);
    EXPECT_TRUE(same(p.newCameraMatrix, newK));
    cv::fisheye::initUndistortRectifyMap(K, D, I, newK, size, CV_16SC2, m1, m2);
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
    EXPECT_FALSE(orb::initFusionState(untouched, bad, H, W, extr));
    EXPECT_FALSE(orb::initFusionState(untouched, kIntrinsics, H, W, badExtr));
    EXPECT_EQ(untouched.width, 0);
}

}  // namespace
