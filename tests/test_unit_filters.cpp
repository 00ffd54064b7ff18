// The filter pipeline class on frames built here: projection, the three
// stages, the median network, setters and concurrent use.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "OrbFiltersALG.h"
#include "filters/median_network.h"

namespace {

constexpr int kRows = 150;
constexpr int kCols = 360;
constexpr int kPoints = kRows * kCols;

// A buffer of 54,000 points (x, y, z).
struct Cloud {
    std::vector<float> v = std::vector<float>(kPoints * 3, 0.0f);
    float* data() { return v.data(); }
    void set(int i, float x, float y, float z) {
        v[3 * i] = x;
        v[3 * i + 1] = y;
        v[3 * i + 2] = z;
    }
    float x(int i) const { return v[3 * i]; }
    float y(int i) const { return v[3 * i + 1]; }
    float z(int i) const { return v[3 * i + 2]; }
};

// Points on the x axis whose x truncates to exactly the given depth code.
Cloud FromCodes(const cv::Mat& codes) {
    Cloud c;
    for (int i = 0; i < kPoints; ++i) c.set(i, (codes.at<std::uint16_t>(i / kCols, i % kCols) + 0.5f) * 0.1f, 0, 0);
    return c;
}

cv::Mat Codes(const Cloud& c) {
    cv::Mat m(kRows, kCols, CV_16UC1);
    for (int i = 0; i < kPoints; ++i) m.at<std::uint16_t>(i / kCols, i % kCols) = std::uint16_t(std::lround(c.x(i) * 10));
    return m;
}

cv::Mat Flat(std::uint16_t code) { return cv::Mat(kRows, kCols, CV_16UC1, cv::Scalar(code)); }

cv::Mat Pass(OrbFiltersALG& f, const cv::Mat& codes) {
    Cloud c = FromCodes(codes);
    f.filtering(c.data(), c.data());
    return Codes(c);
}

bool Same(const cv::Mat& a, const cv::Mat& b) { return cv::countNonZero(a != b) == 0; }

std::uint16_t At(const cv::Mat& m, int r, int c) { return m.at<std::uint16_t>(r, c); }

TEST(FilterProjection, RoundTripKeepsRaysAndEmptiesInvalidPoints) {
    OrbFiltersALG f;
    Cloud c;
    c.set(0, 12.34f, 1.0f, -2.0f);
    c.set(1, 5.0f, 0.0f, 0.0f);
    c.set(2, 5.0f, 0.0f, 2.0f);
    c.set(3, -1.0f, 1.0f, 1.0f);
    c.set(4, 0.0f, 3.0f, 3.0f);
    c.set(5, 6000.2f, 1.0f, 0.0f);      // code 60002: empty
    c.set(6, 6000.2f, 0.0f, 0.0f);      // same code on the axis: kept
    c.set(7, 6553.6f, 0.0f, 0.0f);      // code would not fit 16 bits
    c.set(8, 7000.0f, 0.0f, 0.0f);      // would wrap to 446.4 if truncated to 16 bits
    c.set(9, NAN, 1.0f, 1.0f);
    c.set(10, 6000.0f, 1.0f, 1.0f);     // code exactly 60000 is still valid
    Cloud out;
    f.filtering(c.data(), out.data());

    EXPECT_FLOAT_EQ(out.x(0), 123 * 0.1f);
    EXPECT_NEAR(out.y(0) / out.x(0), 1.0f / 12.34f, 1e-6);
    EXPECT_NEAR(out.z(0) / out.x(0), -2.0f / 12.34f, 1e-6);
    EXPECT_FLOAT_EQ(out.x(1), 5.0f);
    EXPECT_EQ(out.y(1), 0.0f);
    EXPECT_EQ(out.z(1), 0.0f);
    EXPECT_FLOAT_EQ(out.x(2), 5.0f);
    EXPECT_EQ(out.y(2), 0.0f);
    EXPECT_NEAR(out.z(2), 2.0f, 1e-5);
    for (int i : {3, 4, 5, 7, 8, 9}) {
        EXPECT_EQ(out.x(i), 0.0f) << i;
        EXPECT_EQ(out.y(i), 0.0f) << i;
        EXPECT_EQ(out.z(i), 0.0f) << i;
    }
    EXPECT_FLOAT_EQ(out.x(6), 60002 * 0.1f);
    EXPECT_FLOAT_EQ(out.x(10), 60000 * 0.1f);
    // Untouched (all-zero) points stay empty.
    EXPECT_EQ(out.x(100), 0.0f);
}

TEST(FilterProjection, FrameFormTouchesOnlyCoordinatesAndOnlyWhenAStageIsOn) {
    std::vector<ZelOrbPointData> frame(kPoints);
    for (int i = 0; i < kPoints; ++i) {
        frame[i] = ZelOrbPointData{std::uint16_t(i / kCols), std::uint16_t(i % kCols), 77.0f, 9u, 12.34f, 1.0f, 0.5f,
                                   1234u, 5u};
    }
    auto* rows = reinterpret_cast<ZelOrbPointData(*)[360]>(frame.data());
    const std::vector<ZelOrbPointData> before = frame;
    OrbFiltersALG f;
    f.filtering(rows);
    EXPECT_EQ(0, std::memcmp(before.data(), frame.data(), sizeof(ZelOrbPointData) * kPoints));

    f.SetSpatialFilter(true, 3);
    f.filtering(rows);
    EXPECT_FLOAT_EQ(frame[500].x, 12.3f);  // projected there and back
    EXPECT_EQ(frame[500].distance, 77.0f);
    EXPECT_EQ(frame[500].intensity, 9u);
    EXPECT_EQ(frame[500].row, before[500].row);
    EXPECT_EQ(frame[500].timestamp, 1234u);
    EXPECT_EQ(frame[500].tag, 5u);

    f.filtering(static_cast<ZelOrbPointData(*)[360]>(nullptr));  // ignored
    f.filtering(nullptr, nullptr);
}

TEST(FilterSpatial, SizesRunTheWrittenMedianPasses) {
    std::mt19937 rng(7);
    cv::Mat codes(kRows, kCols, CV_16UC1);
    for (int i = 0; i < kPoints; ++i) codes.at<std::uint16_t>(i / kCols, i % kCols) = std::uint16_t(1 + rng() % 5000);
    auto passes = [&](int aperture, int count) {
        cv::Mat m = codes.clone();
        for (int i = 0; i < count; ++i) {
            cv::Mat o;
            cv::medianBlur(m, o, aperture);
            m = o;
        }
        return m;
    };
    struct Case {
        int size;
        int aperture;
        int count;
    };
    // 4 and 6 clamp down to 3 and 5; below 3 is a no-op; above 31 runs 31's 14 passes.
    const Case cases[] = {{3, 3, 1}, {4, 3, 1}, {5, 5, 1}, {6, 5, 1},  {7, 5, 2},     {8, 5, 2},  {9, 5, 3},
                          {11, 5, 4}, {2, 5, 0}, {1, 5, 0}, {0, 5, 0}, {-4, 5, 0}, {1000000, 5, 14}};
    for (const Case& k : cases) {
        OrbFiltersALG f;
        f.SetSpatialFilter(true, k.size);
        EXPECT_TRUE(Same(Pass(f, codes), passes(k.aperture, k.count))) << "size " << k.size;
    }
}

TEST(FilterMedian, NetworksSelectTheSortedMiddle) {
    // 0-1 principle: a comparator network that selects correctly on every
    // 0/1 input selects correctly on every input. One column per pattern.
    for (int n = 1; n <= 9; ++n) {
        const std::size_t patterns = std::size_t(1) << n;
        std::vector<std::vector<std::uint16_t>> slots(n, std::vector<std::uint16_t>(patterns));
        for (std::size_t p = 0; p < patterns; ++p)
            for (int j = 0; j < n; ++j) slots[j][p] = (p >> j) & 1;
        std::vector<const std::uint16_t*> ptrs;
        for (auto& s : slots) ptrs.push_back(s.data());
        std::vector<std::uint16_t> out(patterns);
        orb::columnMedian(ptrs.data(), n, out.data(), patterns);
        for (std::size_t p = 0; p < patterns; ++p) {
            int ones = 0;
            for (int j = 0; j < n; ++j) ones += (p >> j) & 1;
            // Sorted ascending: zeros first; element n / 2 is 1 iff n / 2 >= n - ones.
            ASSERT_EQ(out[p], (n / 2 >= n - ones) ? 1 : 0) << "n " << n << " pattern " << p;
        }
    }
    // Random columns against a sort, with a count that is not a multiple of the run.
    std::mt19937 rng(3);
    const std::size_t count = 1237;
    for (int n = 1; n <= 9; ++n) {
        std::vector<std::vector<std::uint16_t>> slots(n, std::vector<std::uint16_t>(count));
        for (auto& s : slots)
            for (auto& v : s) v = std::uint16_t(rng());
        std::vector<const std::uint16_t*> ptrs;
        for (auto& s : slots) ptrs.push_back(s.data());
        std::vector<std::uint16_t> out(count);
        orb::columnMedian(ptrs.data(), n, out.data(), count);
        for (std::size_t k = 0; k < count; ++k) {
            std::vector<std::uint16_t> col;
            for (int j = 0; j < n; ++j) col.push_back(slots[j][k]);
            std::sort(col.begin(), col.end());
            ASSERT_EQ(out[k], col[n / 2]) << "n " << n << " column " << k;
        }
    }
}

// Frames of a steady scene at 2000 with a flicker within the threshold.
cv::Mat Flicker(int pass) {
    static const std::uint16_t kValues[] = {2000, 2040, 1980, 2020, 1960};
    return Flat(kValues[pass % 5]);
}

TEST(FilterTimeMedian, FillsTheRingBeforeActingAndRestarts) {
    OrbFiltersALG f;
    f.SetTimeMedianFilter(true, 5, 100);
    for (int pass = 0; pass < 4; ++pass) EXPECT_TRUE(Same(Pass(f, Flicker(pass)), Flicker(pass))) << pass;
    EXPECT_TRUE(Same(Pass(f, Flicker(4)), Flat(2000)));  // median of the five
    EXPECT_TRUE(Same(Pass(f, Flicker(5)), Flat(2000)));

    // A new threshold restarts the count.
    f.SetTimeMedianFilter(true, 5, 101);
    for (int pass = 0; pass < 4; ++pass) EXPECT_TRUE(Same(Pass(f, Flicker(pass + 1)), Flicker(pass + 1))) << pass;
    EXPECT_TRUE(Same(Pass(f, Flicker(5)), Flat(2000)));

    // Switching off by the setter restarts it too.
    f.SetTimeMedianFilterEnable(false);
    f.SetTimeMedianFilterEnable(true);
    for (int pass = 0; pass < 4; ++pass) EXPECT_TRUE(Same(Pass(f, Flicker(pass + 2)), Flicker(pass + 2))) << pass;
    EXPECT_TRUE(Same(Pass(f, Flicker(6)), Flat(2000)));

    // And a new count.
    f.SetTimeMedianFilter(true, 3, 101);
    for (int pass = 0; pass < 2; ++pass) EXPECT_TRUE(Same(Pass(f, Flicker(pass)), Flicker(pass))) << pass;
    EXPECT_TRUE(Same(Pass(f, Flicker(2)), Flat(2000)));
}

TEST(FilterTimeMedian, CountsClampToTheRing) {
    for (int count : {20, 260}) {
        OrbFiltersALG f;
        f.SetTimeMedianFilter(true, count, 100);  // acts as 9
        for (int pass = 0; pass < 8; ++pass) EXPECT_TRUE(Same(Pass(f, Flicker(pass)), Flicker(pass))) << pass;
        EXPECT_TRUE(Same(Pass(f, Flicker(8)), Flat(2000)));
    }
    for (int count : {1, 0, -3}) {  // acts as 1: never changes a pixel
        OrbFiltersALG f;
        f.SetTimeMedianFilter(true, count, 100);
        for (int pass = 0; pass < 4; ++pass) EXPECT_TRUE(Same(Pass(f, Flicker(pass)), Flicker(pass))) << count;
    }
}

TEST(FilterTimeMedian, MotionHandling) {
    OrbFiltersALG f;
    f.SetTimeMedianFilter(true, 5, 100);
    cv::Mat scene = Flat(3000);
    for (int pass = 0; pass < 5; ++pass) Pass(f, scene);

    cv::Mat next = scene.clone();
    next(cv::Rect(100, 40, 48, 48)).setTo(1000);  // 12 x 12 blocks approaching: passed through
    next(cv::Rect(20, 20, 8, 8)).setTo(1000);     // 2 x 2 blocks: isolated jump, replaced
    next.at<std::uint16_t>(120, 300) = 2750;      // approach within 3T: accepted
    next.at<std::uint16_t>(120, 200) = 3600;      // moved away: follows the frame
    next.at<std::uint16_t>(130, 10) = 61000;      // invalid codes pass through
    cv::Mat out = Pass(f, next);
    EXPECT_EQ(At(out, 60, 120), 1000);
    EXPECT_EQ(At(out, 24, 24), 3000);
    EXPECT_EQ(At(out, 120, 300), 2750);
    EXPECT_EQ(At(out, 120, 200), 3600);
    EXPECT_EQ(At(out, 130, 10), 61000);
    EXPECT_EQ(At(out, 0, 0), 3000);

    // One frame later the receded pixel is steady against its predecessor but
    // changed against the frame two passes back: it still follows the frame,
    // although the median of the ring is the old depth.
    out = Pass(f, next);
    EXPECT_EQ(At(out, 120, 200), 3600);
    // The isolated jump is now steady too but recent: it follows the frame.
    EXPECT_EQ(At(out, 24, 24), 1000);
}

cv::Mat Fly(OrbFiltersALG& f, const cv::Mat& codes) {
    f.SetFlyPixeFilter(true, 300);  // limit 900
    return Pass(f, codes);
}

TEST(FilterFlyingPixel, SpikesStepsAndBorders) {
    OrbFiltersALG f;
    cv::Mat m = Flat(1000);
    m.at<std::uint16_t>(50, 100) = 5000;  // lone spike
    m.at<std::uint16_t>(60, 100) = 1900;  // exactly the limit: kept
    m.at<std::uint16_t>(70, 0) = 5000;    // column 0, flagged by the vertical test
    m.col(359).setTo(5000);               // last column: only the vertical test applies
    m.col(200).setTo(5000);               // an inner stripe fails the horizontal test
    m.row(0).colRange(10, 20).setTo(5000);  // row 0: never flagged vertically
    m.at<std::uint16_t>(0, 30) = 5000;      // but a lone spike there fails horizontally
    cv::Mat out = Fly(f, m);
    EXPECT_EQ(At(out, 50, 100), 0);
    EXPECT_EQ(At(out, 60, 100), 1900);
    EXPECT_EQ(At(out, 70, 0), 0);
    EXPECT_EQ(At(out, 70, 359), 5000);
    EXPECT_EQ(At(out, 70, 200), 0);
    EXPECT_EQ(At(out, 0, 15), 5000);
    EXPECT_EQ(At(out, 0, 30), 0);
    EXPECT_EQ(At(out, 10, 10), 1000);

    // A step edge: the pixel on the step differs from both sides by more than
    // the limit; the sides themselves touch a neighbour of equal depth.
    cv::Mat step = Flat(1000);
    step.colRange(181, kCols).setTo(5000);
    step.col(180).setTo(3000);
    out = Fly(f, step);
    EXPECT_EQ(At(out, 75, 180), 0);
    EXPECT_EQ(At(out, 75, 179), 1000);
    EXPECT_EQ(At(out, 75, 181), 5000);

    // Codes above 32767 saturate: 33000 next to 45000 is no jump.
    cv::Mat far = Flat(45000);
    far.at<std::uint16_t>(75, 75) = 33000;
    out = Fly(f, far);
    EXPECT_EQ(At(out, 75, 75), 33000);
}

// A literal, per-pixel transcription of the time-median and flying-pixel
// stages, to hold the vectorised stages to on random sequences.
struct ReferenceStages {
    std::vector<cv::Mat> history = std::vector<cv::Mat>(9);
    int index = 0;
    int full = 0;
    int lastN = 0;
    int lastT = 0;

    void timeMedian(cv::Mat& cur, int n, int t) {
        cv::Mat a = cv::Mat::zeros(kRows, kCols, CV_8UC1);
        cv::Mat b = cv::Mat::zeros(kRows, kCols, CV_16UC1);
        if (n != lastN || t != lastT) index = full = 0;
        if (index >= n) index = 0;
        history[index] = cur.clone();
        if (index >= n - 1) full = 1;
        if (full == 1) {
            cv::Mat med(kRows, kCols, CV_16UC1);
            const int prev = index == 0 ? n - 1 : index - 1;
            cv::Mat d(kRows, kCols, CV_32SC1);
            for (int i = 0; i < kPoints; ++i) {
                std::vector<std::uint16_t> col;
                for (int j = 0; j < n; ++j) col.push_back(history[j].at<std::uint16_t>(i));
                std::sort(col.begin(), col.end());
                med.at<std::uint16_t>(i) = col[n / 2];
                const int di = int(history[index].at<std::uint16_t>(i)) - int(history[prev].at<std::uint16_t>(i));
                d.at<int>(i) = di;
                if (di >= t) a.at<std::uint8_t>(i) = 1;
                if (di <= -t) a.at<std::uint8_t>(i) = 2;
                if (a.at<std::uint8_t>(i) == 1) b.at<std::uint16_t>(i) = cur.at<std::uint16_t>(i);
            }
            cv::Mat hot = cv::Mat::zeros(37, 90, CV_8UC1);
            for (int by = 0; by < 37; ++by)
                for (int bx = 0; bx < 90; ++bx) {
                    int count = 0;
                    for (int r = 0; r < 4; ++r)
                        for (int c = 0; c < 4; ++c) count += a.at<std::uint8_t>(by * 4 + r, bx * 4 + c) == 2;
                    hot.at<std::uint8_t>(by, bx) = count > 8;
                }
            cv::Mat labels;
            const int nl = cv::connectedComponents(hot, labels, 4, CV_16U);
            std::vector<int> size(nl, 0);
            for (int i = 0; i < 37 * 90; ++i) size[labels.at<std::uint16_t>(i)]++;
            auto large = [&](int r, int c) {
                if (r >= 148) return false;
                const int l = labels.at<std::uint16_t>(r / 4, c / 4);
                return l != 0 && size[l] > 30;
            };
            const int mid = n / 2;
            int ref = index - mid;
            if (ref < 0) ref += n;
            for (int i = 0; i < kPoints; ++i) {
                const int r = i / kCols, c = i % kCols;
                const std::uint16_t cu = cur.at<std::uint16_t>(i), md = med.at<std::uint16_t>(i);
                const int ai = a.at<std::uint8_t>(i);
                std::uint16_t& bi = b.at<std::uint16_t>(i);
                const bool l = large(r, c);
                const bool e = std::abs(d.at<int>(i)) <= 3 * t;
                if (l && ai == 2) bi = cu;
                if (ai == 2 && !l && e) bi = cu;
                if (ai == 2 && !l && !e) bi = md;
                if (bi >= 60000) bi = cu;
                bool recent = false;
                for (int j = 1; j <= mid; ++j)
                    recent = recent || std::abs(int(history[(ref + j) % n].at<std::uint16_t>(i)) -
                                                int(history[ref].at<std::uint16_t>(i))) > t;
                if (ai == 0 && recent) bi = cu;
                if (ai == 0 && !recent) bi = md;
                if (cu >= 60000) bi = cu;
            }
            cur = b;
        }
        ++index;
        lastN = n;
        lastT = t;
    }

    static void flying(cv::Mat& depth, long long threshold) {
        auto sat = [](long long v) { return std::min(std::max(v, -32768LL), 32767LL); };
        auto f = [&](int r, int c) { return std::min<long long>(depth.at<std::uint16_t>(r, c), 32767); };
        const long long limit = 3 * threshold;
        cv::Mat out = depth.clone();
        for (int r = 0; r < kRows; ++r)
            for (int c = 0; c < kCols; ++c) {
                auto gl = [&](int cc) { return cc == kCols - 1 ? 0 : sat(f(r, cc) - f(r, cc - 1)); };
                auto gr = [&](int cc) { return cc == 0 ? 0 : sat(f(r, cc) - f(r, cc + 1)); };
                auto gu = [&](int rr) { return rr == kRows - 1 ? 0 : sat(f(rr, c) - f(rr - 1, c)); };
                auto gd = [&](int rr) { return rr == 0 ? 0 : sat(f(rr, c) - f(rr + 1, c)); };
                const long long l = c == 0 ? gl(1) : gl(c);
                const long long rr = c == kCols - 1 ? gr(kCols - 2) : gr(c);
                const long long u = r == 0 ? gu(1) : gu(r);
                const long long d = r == kRows - 1 ? gd(kRows - 2) : gd(r);
                auto beyond = [&](long long g) { return std::min(std::abs(g), 32767LL) > limit; };
                if ((beyond(l) && beyond(rr)) || (beyond(u) && beyond(d))) out.at<std::uint16_t>(r, c) = 0;
            }
        depth = out;
    }
};

// Random scenes: a noisy wall, a block moving toward the camera, speckles,
// invalid and far codes.
cv::Mat RandomScene(std::mt19937& rng, int pass) {
    cv::Mat m(kRows, kCols, CV_16UC1);
    std::uniform_int_distribution<int> noise(-150, 150);
    for (int i = 0; i < kPoints; ++i) m.at<std::uint16_t>(i) = std::uint16_t(3000 + noise(rng));
    m(cv::Rect(40 + 4 * pass, 30, 60, 50)).setTo(3000 - 400 * pass);
    std::uniform_int_distribution<int> pos(0, kPoints - 1);
    for (int k = 0; k < 300; ++k) m.at<std::uint16_t>(pos(rng)) = std::uint16_t(rng() % 65536);
    for (int k = 0; k < 100; ++k) m.at<std::uint16_t>(pos(rng)) = 0;
    return m;
}

TEST(FilterStages, MatchALiteralTranscriptionOnRandomScenes) {
    struct Case {
        int count;
        int threshold;
    };
    // Thresholds 0 and 30000 reach the edges of the saturated comparisons.
    for (const Case k : {Case{5, 100}, Case{9, 60}, Case{4, 0}, Case{2, 30000}, Case{7, 250}}) {
        std::mt19937 rng(k.count * 1000 + k.threshold);
        OrbFiltersALG f;
        f.SetTimeMedianFilter(true, k.count, k.threshold);
        ReferenceStages ref;
        for (int pass = 0; pass < k.count + 3; ++pass) {
            cv::Mat scene = RandomScene(rng, pass);
            cv::Mat expected = scene.clone();
            ref.timeMedian(expected, k.count, k.threshold);
            // Codes above 60000 come back empty except on the axis, which
            // these points are; codes equal to 0 stay 0.
            ASSERT_TRUE(Same(Pass(f, scene), expected)) << "count " << k.count << " pass " << pass;
        }
    }
    for (long long threshold : {300LL, 0LL, 20000LL, -5LL}) {
        std::mt19937 rng(static_cast<unsigned>(threshold + 99));
        OrbFiltersALG f;
        f.SetFlyPixeFilter(true, static_cast<int>(threshold));
        cv::Mat scene = RandomScene(rng, 2);
        cv::Mat expected = scene.clone();
        ReferenceStages::flying(expected, threshold);
        EXPECT_TRUE(Same(Pass(f, scene), expected)) << threshold;
    }
}

TEST(FilterSetters, GettersInitAndConcurrentUse) {
    OrbFiltersALG f;
    EXPECT_FALSE(f.GetSpatialFilterEnable());
    EXPECT_FALSE(f.GetTimeMedianFilterEnable());
    EXPECT_FALSE(f.GetFlyPixeFilterEnable());
    f.SetSpatialFilterEnable(true);
    f.SetTimeMedianFilter(true, 3, 10);
    f.SetFlyPixeFilterEnable(true);
    EXPECT_TRUE(f.GetSpatialFilterEnable());
    EXPECT_TRUE(f.GetTimeMedianFilterEnable());
    EXPECT_TRUE(f.GetFlyPixeFilterEnable());
    f.init();
    EXPECT_FALSE(f.GetSpatialFilterEnable());
    EXPECT_FALSE(f.GetTimeMedianFilterEnable());
    EXPECT_FALSE(f.GetFlyPixeFilterEnable());

    // Setters from another thread while passes run: no torn state, no race.
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (int i = 0; i < 200 && !stop; ++i) {
            f.SetSpatialFilter(i % 2 == 0, 3 + 2 * (i % 3));
            f.SetTimeMedianFilter(i % 3 != 0, 1 + i % 9, 50 + i);
            f.SetFlyPixeFilter(i % 4 != 0, 100 + i);
            (void)f.GetTimeMedianFilterEnable();
        }
    });
    std::vector<ZelOrbPointData> frame(kPoints, ZelOrbPointData{0, 0, 1.0f, 1u, 10.0f, 1.0f, 1.0f, 0u, 0u});
    Cloud c = FromCodes(Flat(1000));
    for (int i = 0; i < 20; ++i) {
        f.filtering(c.data(), c.data());
        f.filtering(reinterpret_cast<ZelOrbPointData(*)[360]>(frame.data()));
    }
    stop = true;
    setter.join();
    EXPECT_NEAR(frame[1000].x, 10.0f, 0.11f);
}

}  // namespace
