// Guards the sample client against accepted bad options and files whose header and body disagree: its arguments and its PLY and PNG exports.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "client/client_args.h"
#include "client/export.h"
#include "client/stream_health.h"
#include "support/harness.h"

namespace {

std::string tempPath(const std::string& name) { return ::testing::TempDir() + "orb_client_" + std::to_string(::getpid()) + name; }

TEST(ClientArgs, BadOptionsAreRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {{"--port", "0"}, {"--port", "65536"}, {"--port", "12a"},
                                                       {"--seconds"}, {"--seconds", "0"}, {"--mode", "2"},
                                                       {"--bogus"}, {"--ip", ""}};
    for (const auto& args : bad) {
        orbclient::ClientOptions o;
        std::string err;
        EXPECT_FALSE(orbclient::parseClientArgs(args, o, err) || err.empty()) << args[0];
    }
    orbclient::ClientOptions o;
    std::string err;
    ASSERT_TRUE(orbclient::parseClientArgs({"--no-rgb", "--fusion"}, o, err)) << err;
    EXPECT_TRUE(o.fusion && o.rgb) << "fusion needs the RGB stream";
}

TEST(ClientExport, PlyHeadersMatchTheirBodiesAndPngsAreValid) {
    orbtest::Frame frame = orbtest::newFrame();
    for (int i = 0; i < 500; ++i) frame[i * 7].x = 100.0f + i, frame[i * 7].y = -3.5f, frame[i * 7].z = 2.25f, frame[i * 7].intensity = i % 300;
    const std::vector<std::uint8_t> rgb(3 * ZEL_ORB_FRAME_POINTS, 7);
    const std::string path = tempPath(".ply");
    struct Case {
        const orbtest::Frame frame;
        const std::uint8_t* colour;
        long vertices;
        std::size_t properties, vertexBytes;
    };
    const Case cases[] = {{frame, nullptr, 500, 4, 13}, {frame, rgb.data(), 500, 7, 16}, {orbtest::newFrame(), nullptr, 0, 4, 13}};
    for (const Case& c : cases) {
        ASSERT_EQ(orbclient::writePly(path, c.frame.data(), c.colour), c.vertices);
        std::ifstream in(path, std::ios::binary);
        const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t body = all.find("end_header\n") + 11;
        ASSERT_EQ(all.rfind("ply\nformat binary_little_endian 1.0\n", 0), 0u);
        EXPECT_LT(all.find("\nelement vertex " + std::to_string(c.vertices) + "\n"), body);
        std::size_t properties = 0;
        for (std::size_t at = 0; (at = all.find("\nproperty ", at + 1)) < body;) ++properties;
        EXPECT_EQ(properties, c.properties);
        EXPECT_EQ(all.size() - body, c.vertices * c.vertexBytes);
        if (c.vertices) {  // vertices keep the frame order, so the first is the first non-empty point
            float xyz[3];
            std::memcpy(xyz, all.data() + body, sizeof xyz);
            EXPECT_TRUE(xyz[0] == 100.0f && xyz[1] == -3.5f && xyz[2] == 2.25f);
        }
    }
    EXPECT_EQ(orbclient::writePly("/nonexistent-dir/x.ply", frame.data()), -1);
    std::remove(path.c_str());

    const std::string depth = tempPath("depth.png"), inten = tempPath("intensity.png"), rgbPath = tempPath("rgb.png");
    ASSERT_TRUE(orbclient::writeDepthPng(depth, frame.data()) && orbclient::writeIntensityPng(inten, frame.data()));
    const cv::Mat d = cv::imread(depth, cv::IMREAD_COLOR);
    ASSERT_TRUE(d.rows == ZEL_ORB_FRAME_ROWS && d.cols == ZEL_ORB_FRAME_COLS);
    EXPECT_EQ(d.at<cv::Vec3b>(0, 1), cv::Vec3b(0, 0, 0)) << "empty points are black";
    EXPECT_NE(d.at<cv::Vec3b>(0, 7), cv::Vec3b(0, 0, 0));
    EXPECT_FALSE(cv::imread(inten).empty());
    std::vector<std::uint8_t> pixels(1600 * 1200 * 3);
    for (std::size_t i = 0; i < pixels.size(); i += 3) pixels[i] = 200;  // pure red
    ZelOrbRgbData img{};
    img.width = 1600, img.height = 1200, img.channels = 3, img.size = pixels.size(), img.data = pixels.data();
    ASSERT_TRUE(orbclient::writeRgbPng(rgbPath, img));
    EXPECT_EQ(cv::imread(rgbPath, cv::IMREAD_COLOR).at<cv::Vec3b>(10, 10), cv::Vec3b(0, 0, 200)) << "BGR on disk";
    img.size = pixels.size() - 3;  // inconsistent record
    EXPECT_FALSE(orbclient::writeRgbPng(rgbPath, img));
    img.size = 0;
    EXPECT_FALSE(orbclient::writeRgbPng(rgbPath, img));
    for (const auto& p : {depth, inten, rgbPath}) std::remove(p.c_str());
}

}  // namespace
TEST(ClientHealth, DropsAndTooSmallBuffersAreNamed) {
    ZelOrbStreamStatistics a{}, b{};
    b.datagrams = 500;
    EXPECT_EQ(orbclient::dropSummary(a, b), "");
    b.dropped_queue_full = 7;
    b.dropped_bad_magic = 2;
    b.frames_missing_packets = 1;
    EXPECT_EQ(orbclient::dropSummary(a, b), "  dropped: 9 datagrams (queue full 7, magic 2), frames (missing packets 1)");
    // 7,800 datagrams/s (20 fps, format 10) do not fit Linux's default 208 KiB.
    const std::string w = orbclient::receiveBufferWarning(2 * 212992, 7800);
    EXPECT_NE(w.find("sysctl -w net.core.rmem_max=18874368"), std::string::npos) << w;
    EXPECT_EQ(orbclient::receiveBufferWarning(64 << 20, 7800), "");
}
