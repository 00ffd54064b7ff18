// RGB fragment reassembly, decoding, rotation, undistortion and publication
// (no network).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "imu_rgb/rgb_stream.h"
#include "rgb_sender.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes payloadOf(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

struct Feed {
    orb::RgbAssembly state;
    std::vector<orb::RgbFrame> frames;
    void operator()(const Bytes& d) {
        orb::RgbFrame f;
        if (orb::assembleRgbFragment(d.data(), d.size(), state, f)) frames.push_back(std::move(f));
    }
};

TEST(RgbAssembly, InOrderFramePublishedOnceWithTheLastFragmentsHeader) {
    const Bytes frame = payloadOf(250, 3);
    auto datagrams = orbsim::fragmentFrame(frame, orbsim::kRgbJpeg, 42, 7, 8, 100);
    ASSERT_EQ(datagrams.size(), 3u);
    // Distinct times per fragment show whose header the frame carries.
    Feed feed;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        orbsim::FragmentHeader h;
        h.total = 3;
        h.index = static_cast<std::uint16_t>(i + 1);
        h.frameId = 42;
        h.seconds = 100 + i;
        h.microseconds = static_cast<std::uint32_t>(200 + i);
        h.word = 0xCAFEF00D;
        Bytes d;
        const std::size_t off = i * 100;
        orbsim::appendFragment(d, h, frame.data() + off, std::min<std::size_t>(100, frame.size() - off));
        feed(d);
    }
    ASSERT_EQ(feed.frames.size(), 1u);
    const orb::RgbFrame& f = feed.frames[0];
    EXPECT_EQ(f.bytes, frame);
    EXPECT_EQ(f.header.frameId, 42u);
    EXPECT_EQ(f.header.seconds, 102u);
    EXPECT_EQ(f.header.microseconds, 202u);
    EXPECT_EQ(f.header.word, 0xCAFEF00Du);
    EXPECT_EQ(f.header.index, 3u);
    EXPECT_EQ(f.header.length, 50u);
}

TEST(RgbAssembly, OutOfOrderNeverCompletesAndTheNextIdStartsAfresh) {
    const Bytes frame = payloadOf(300, 1);
    orbsim::RgbFaults reorder;
    reorder.reorder = true;  // 1, 3, 2
    Feed feed;
    for (const auto& d : orbsim::fragmentFrame(frame, 0, 9, 1, 1, 100, reorder)) feed(d);
    EXPECT_TRUE(feed.frames.empty());
    for (const auto& d : orbsim::fragmentFrame(frame, 0, 10, 1, 1, 100)) feed(d);
    ASSERT_EQ(feed.frames.size(), 1u);
    EXPECT_EQ(feed.frames[0].bytes, frame);
    EXPECT_EQ(feed.frames[0].header.frameId, 10u);
}

TEST(RgbAssembly, NewIdMidFrameDiscardsThePartialFrame) {
    const Bytes frame = payloadOf(300, 5);
    orbsim::RgbFaults change;
    change.changeIdFrom = 2;  // fragments 2 and 3 carry id 12
    Feed feed;
    for (const auto& d : orbsim::fragmentFrame(frame, 0, 11, 1, 1, 100, change)) feed(d);
    EXPECT_TRUE(feed.frames.empty());
    // Dropped and truncated fragments also leave the frame incomplete.
    orbsim::RgbFaults drop;
    drop.dropFragment = 2;
    for (const auto& d : orbsim::fragmentFrame(frame, 0, 13, 1, 1, 100, drop)) feed(d);
    orbsim::RgbFaults cut;
    cut.truncateFragment = 3;
    for (const auto& d : orbsim::fragmentFrame(frame, 0, 14, 1, 1, 100, cut)) feed(d);
    orbsim::RgbFaults tail;
    tail.wrongTailFragment = 1;
    for (const auto& d : orbsim::fragmentFrame(frame, 0, 15, 1, 1, 100, tail)) feed(d);
    EXPECT_TRUE(feed.frames.empty());
}

TEST(RgbAssembly, TwoFragmentsPerDatagramAndGarbageBeforeTheHead) {
    const Bytes frame = payloadOf(400, 9);
    orbsim::RgbFaults faults;
    faults.pairs = true;
    faults.garbageBeforeHead = 7;
    const auto datagrams = orbsim::fragmentFrame(frame, 2, 77, 1, 1, 100, faults);
    ASSERT_EQ(datagrams.size(), 2u);
    Feed feed;
    for (const auto& d : datagrams) feed(d);
    ASSERT_EQ(feed.frames.size(), 1u);
    EXPECT_EQ(feed.frames[0].bytes, frame);
    EXPECT_EQ(feed.frames[0].header.format(), 2u);
}

TEST(RgbAssembly, ShortDatagramIgnored) {
    // A whole, valid one-fragment frame of 49 bytes (11 payload + 38) is
    // ignored; one byte more of payload and it is taken.
    const Bytes frame = payloadOf(11, 2);
    const auto d = orbsim::fragmentFrame(frame, 0, 1, 1, 1, 100);
    ASSERT_EQ(d.size(), 1u);
    ASSERT_EQ(d[0].size(), 49u);
    Feed feed;
    feed(d[0]);
    EXPECT_TRUE(feed.frames.empty());
    const auto ok = orbsim::fragmentFrame(payloadOf(12, 2), 0, 2, 1, 1, 100);
    feed(ok[0]);
    EXPECT_EQ(feed.frames.size(), 1u);
}

TEST(RgbAssembly, FrameGrowingPastTheLimitIsDroppedWithBoundedMemory) {
    // 300 fragments of 60,000 bytes would make 18 MB.
    const Bytes piece = payloadOf(60000, 4);
    Feed feed;
    std::size_t largest = 0;
    for (int i = 1; i <= 300; ++i) {
        orbsim::FragmentHeader h;
        h.total = 300;
        h.index = static_cast<std::uint16_t>(i);
        h.frameId = 5;
        Bytes d;
        orbsim::appendFragment(d, h, piece.data(), piece.size());
        feed(d);
        largest = std::max(largest, feed.state.bytes.size());
    }
    EXPECT_TRUE(feed.frames.empty());
    EXPECT_LE(largest, orb::kMaxRgbFrameBytes);
    // The next frame id is assembled normally.
    for (const auto& d : orbsim::fragmentFrame(payloadOf(500, 1), 0, 6, 1, 1, 200)) feed(d);
    EXPECT_EQ(feed.frames.size(), 1u);
}

// ------------------------------------------------------------------ decoding

void expectNear(const cv::Vec3b& got, const cv::Vec3b& want, int tol, const char* what) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], want[c], tol) << what << " channel " << c;
}

TEST(RgbDecode, JpegAndNv12GiveThePatternInRgbOrder) {
    const cv::Mat pattern = orbsim::makeTestPattern();
    const int probes[][2] = {{100, 100}, {100, 1500}, {1100, 100}, {1100, 1500}, {600, 800}};
    {
        cv::Mat img;
        ASSERT_EQ(orb::decodeRgbFrame(orb::kRgbFormatJpeg, orbsim::encodeJpeg(pattern), img), orb::RgbDecode::Image);
        ASSERT_EQ(img.type(), CV_8UC3);
        ASSERT_EQ(img.rows, 1200);
        ASSERT_EQ(img.cols, 1600);
        for (auto& p : probes) expectNear(img.at<cv::Vec3b>(p[0], p[1]), orbsim::testPatternColor(p[0], p[1]), 6, "jpeg");
    }
    {
        const Bytes nv12 = orbsim::encodeNv12(pattern);
        ASSERT_EQ(nv12.size(), orb::kNv12FrameBytes);
        cv::Mat img;
        ASSERT_EQ(orb::decodeRgbFrame(orb::kRgbFormatNv12, nv12, img), orb::RgbDecode::Image);
        ASSERT_EQ(img.total() * img.elemSize(), orb::kRgbImageBytes);
        for (auto& p : probes) expectNear(img.at<cv::Vec3b>(p[0], p[1]), orbsim::testPatternColor(p[0], p[1]), 6, "nv12");
        Bytes shortFrame(nv12.begin(), nv12.end() - 1);
        EXPECT_EQ(orb::decodeRgbFrame(orb::kRgbFormatNv12, shortFrame, img), orb::RgbDecode::Dropped);
    }
}

TEST(RgbDecode, BadJpegWrongSizeAndUnknownFormat) {
    cv::Mat img;
    EXPECT_EQ(orb::decodeRgbFrame(orb::kRgbFormatJpeg, payloadOf(5000, 1), img), orb::RgbDecode::Dropped);
    const cv::Mat small(120, 160, CV_8UC3, cv::Scalar(1, 2, 3));
    EXPECT_EQ(orb::decodeRgbFrame(orb::kRgbFormatJpeg, orbsim::encodeJpeg(small), img), orb::RgbDecode::Dropped);
    EXPECT_EQ(orb::decodeRgbFrame(1, payloadOf(5000, 1), img), orb::RgbDecode::Empty);
    EXPECT_TRUE(img.empty());
}

TEST(RgbRotate, FourCodesMoveAPixelAsSpecified) {
    cv::Mat base(1200, 1600, CV_8UC3, cv::Scalar(0, 0, 0));
    const int r = 37;
    base.at<cv::Vec3b>(r, 0) = cv::Vec3b(1, 2, 3);
    struct Case {
        std::uint8_t code;
        int row, col;
    } cases[] = {{0, r, 0}, {1, 1199 - r, 1599}, {2, r, 1599}, {3, 1199 - r, 0}, {9, r, 0}};
    for (const auto& c : cases) {
        cv::Mat img = base.clone();
        orb::rotateRgbImage(img, c.code);
        EXPECT_EQ(img.at<cv::Vec3b>(c.row, c.col), cv::Vec3b(1, 2, 3)) << int(c.code);
        EXPECT_EQ(cv::countNonZero(img.reshape(1)), 3) << int(c.code);
    }
}

// ------------------------------------------------------------- undistortion

cv::Mat directUndistort(const cv::Mat& img, const float in[10]) {
    cv::Matx33f K(in[0], 0, in[2], 0, in[1], in[3], 0, 0, 1);
    cv::Vec4f D(in[4], in[5], in[6], in[7]);
    cv::Mat m1, m2, out;
    cv::fisheye::initUndistortRectifyMap(K, D, cv::Mat::eye(3, 3, CV_64F), K, img.size(), CV_16SC2, m1, m2);
    cv::remap(img, out, m1, m2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    return out;
}

TEST(RgbUndistort, CachedMapsGiveTheSamePixelsAsOpenCvPerImage) {
    float a[10] = {760, 760, 800.5f, 600.5f, 0.021f, -0.0045f, 0.0012f, -0.00018f, 0, 0};
    float b[10] = {700, 710, 790, 610, 0.05f, 0.01f, 0, 0, 0, 0};
    cv::Mat img1 = orbsim::makeTestPattern();
    cv::Mat img2(1200, 1600, CV_8UC3);
    cv::randu(img2, cv::Scalar::all(0), cv::Scalar::all(255));
    orb::UndistortMaps cache;
    struct Step {
        const cv::Mat* img;
        const float* intr;
    } steps[] = {{&img1, a}, {&img2, a}, {&img2, b}, {&img1, a}};
    for (const auto& s : steps) {
        const cv::Mat got = orb::undistortRgbImage(*s.img, s.intr, &cache);
        const cv::Mat want = directUndistort(*s.img, s.intr);
        ASSERT_EQ(got.size(), want.size());
        EXPECT_EQ(cv::norm(got, want, cv::NORM_INF), 0.0);
    }
    // A different image size rebuilds the maps too.
    cv::Mat small;
    cv::resize(img2, small, cv::Size(800, 600));
    EXPECT_EQ(cv::norm(orb::undistortRgbImage(small, a, &cache), directUndistort(small, a), cv::NORM_INF), 0.0);
    EXPECT_TRUE(orb::undistortRgbImage(cv::Mat(), a, &cache).empty());
}

TEST(RgbUndistort, UnusableIntrinsicsAreRecognised) {
    float ok[10] = {760, 760, 800, 600, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(orb::intrinsicsUsable(ok));
    float zeroF[10] = {0, 760, 800, 600, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(orb::intrinsicsUsable(zeroF));
    float nanK[10] = {760, 760, 800, 600, 0, NAN, 0, 0, 0, 0};
    EXPECT_FALSE(orb::intrinsicsUsable(nanK));
}

// --------------------------------------------------------------- publication

orb::RgbFrame frameOf(std::uint8_t format, Bytes bytes, std::uint32_t id) {
    orb::RgbFrame f;
    f.header.bytes[3] = format;
    f.header.frameId = id;
    f.header.seconds = 1000 + id;
    f.header.microseconds = 5 * id;
    f.bytes = std::move(bytes);
    return f;
}

TEST(RgbPublish, ImageRecordFusionSourceAndTakeOnce) {
    orb::RgbShared s;
    const Bytes nv12 = orbsim::encodeNv12(orbsim::makeTestPattern());
    ASSERT_TRUE(orb::processRgbFrame(s, frameOf(orb::kRgbFormatNv12, nv12, 3), 2, nullptr));
    ZelOrbRgbData rec{};
    ASSERT_TRUE(orb::takeRgbImage(s, rec, std::chrono::milliseconds(0)));
    EXPECT_EQ(+rec.size, 5760000u);
    EXPECT_EQ(+rec.width, 1600u);
    EXPECT_EQ(+rec.height, 1200u);
    EXPECT_EQ(+rec.channels, 3u);
    EXPECT_EQ(+rec.frame_id, 3u);
    EXPECT_EQ(+rec.seconds, 1003u);
    EXPECT_EQ(+rec.microseconds, 15u);
    ASSERT_NE(+rec.data, nullptr);
    // Rotation code 2 mirrors: the top-left corner shows the top-right colour.
    cv::Vec3b tl(rec.data[3 * 100 + 0], rec.data[3 * 100 + 1], rec.data[3 * 100 + 2]);
    expectNear(tl, orbsim::testPatternColor(0, 1500), 6, "mirrored");
    // The fusion source is that same rotated image.
    ASSERT_EQ(s.fusionSource->total() * s.fusionSource->elemSize(), orb::kRgbImageBytes);
    EXPECT_EQ(std::memcmp(s.fusionSource->data, rec.data, orb::kRgbImageBytes), 0);

    ZelOrbRgbData again = rec;
    again.frame_id = 999;
    EXPECT_FALSE(orb::takeRgbImage(s, again, std::chrono::milliseconds(20)));
    EXPECT_EQ(+again.frame_id, 999u) << "a failed take leaves the record alone";
}

TEST(RgbPublish, UndistortionAppliesToThePublishedImageOnly) {
    orb::RgbShared s;
    const float intr[10] = {760, 760, 800.5f, 600.5f, 0.021f, -0.0045f, 0.0012f, -0.00018f, 0, 0};
    std::memcpy(s.intrinsics, intr, sizeof intr);
    s.undistort = true;
    const cv::Mat pattern = orbsim::makeTestPattern();
    const Bytes nv12 = orbsim::encodeNv12(pattern);
    ASSERT_TRUE(orb::processRgbFrame(s, frameOf(orb::kRgbFormatNv12, nv12, 1), 0, nullptr));
    cv::Mat decoded;
    ASSERT_EQ(orb::decodeRgbFrame(orb::kRgbFormatNv12, nv12, decoded), orb::RgbDecode::Image);
    EXPECT_EQ(cv::norm(*s.fusionSource, decoded, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(*s.image, directUndistort(decoded, intr), cv::NORM_INF), 0.0);
}

// Buffers are reused for later frames only once nobody holds them: an image
// kept by a reader (as fusion keeps its source) never changes under it.
TEST(RgbPublish, HeldImagesAreNeverOverwrittenByLaterFrames) {
    orb::RgbShared s;
    const float intr[10] = {760, 760, 800.5f, 600.5f, 0.021f, -0.0045f, 0.0012f, -0.00018f, 0, 0};
    std::memcpy(s.intrinsics, intr, sizeof intr);
    s.undistort = true;
    const Bytes first = orbsim::encodeNv12(orbsim::makeTestPattern());
    ASSERT_TRUE(orb::processRgbFrame(s, frameOf(orb::kRgbFormatNv12, first, 1), 0, nullptr));
    const orb::RgbImageRef heldSource = s.fusionSource;
    const orb::RgbImageRef heldImage = s.image;
    const cv::Mat sourceCopy = heldSource->clone();
    const cv::Mat imageCopy = heldImage->clone();
    cv::Mat other(1200, 1600, CV_8UC3);
    for (std::uint32_t id = 2; id < 8; ++id) {
        cv::randu(other, cv::Scalar::all(0), cv::Scalar::all(255));
        ASSERT_TRUE(orb::processRgbFrame(s, frameOf(orb::kRgbFormatNv12, orbsim::encodeNv12(other), id), 1, nullptr));
    }
    EXPECT_EQ(cv::norm(*heldSource, sourceCopy, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(*heldImage, imageCopy, cv::NORM_INF), 0.0);
    EXPECT_NE(s.fusionSource->data, heldSource->data);
}

TEST(RgbPublish, UnknownFormatPublishesAnEmptyImageAndBadFramesNothing) {
    orb::RgbShared s;
    EXPECT_FALSE(orb::processRgbFrame(s, frameOf(orb::kRgbFormatJpeg, payloadOf(100, 1), 1), 0, nullptr));
    EXPECT_FALSE(orb::processRgbFrame(s, frameOf(orb::kRgbFormatNv12, payloadOf(100, 1), 2), 0, nullptr));
    ZelOrbRgbData rec{};
    EXPECT_FALSE(orb::takeRgbImage(s, rec, std::chrono::milliseconds(0)));
    s.undistort = true;  // undistorting nothing stays nothing
    s.intrinsics[0] = s.intrinsics[1] = 500;
    EXPECT_TRUE(orb::processRgbFrame(s, frameOf(7, payloadOf(100, 1), 4), 0, nullptr));
    ASSERT_TRUE(orb::takeRgbImage(s, rec, std::chrono::milliseconds(0)));
    EXPECT_EQ(+rec.size, 0u);
    EXPECT_EQ(+rec.data, nullptr);
    EXPECT_EQ(+rec.width, 1600u);
    EXPECT_EQ(+rec.height, 1200u);
    EXPECT_EQ(+rec.frame_id, 4u);
    EXPECT_TRUE(s.fusionSource->empty());
}

}  // namespace
