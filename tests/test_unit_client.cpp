#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "client/client_args.h"
#include "client/stream_health.h"
#include "client/export.h"

using orbclient::ClientOptions;
using orbclient::parseClientArgs;

namespace {

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "orb_client_" + std::to_string(::getpid()) + "_" + name;
}

std::vector<ZelOrbPointData> frameWithPoints(int count) {
    std::vector<ZelOrbPointData> f(ZEL_ORB_FRAME_POINTS);
    for (int i = 0; i < count; ++i) {
        auto& p = f[static_cast<std::size_t>(i * 7)];  // spread over rows and columns
        p.x = 100.0f + static_cast<float>(i);
        p.y = -3.5f;
        p.z = 2.25f;
        p.intensity = static_cast<std::uint32_t>(i % 300);  // above 255 clamps
    }
    return f;
}

// Reads a PLY header; returns the vertex count and the property names.
bool readPlyHeader(const std::string& path, long& vertices, std::vector<std::string>& props, std::size_t& bodyBytes) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != "ply") return false;
    if (!std::getline(in, line) || line != "format binary_little_endian 1.0") return false;
    vertices = -1;
    while (std::getline(in, line) && line != "end_header") {
        std::istringstream s(line);
        std::string word;
        s >> word;
        if (word == "element") {
            std::string kind;
            s >> kind >> vertices;
        } else if (word == "property") {
            std::string type, name;
            s >> type >> name;
            props.push_back(name);
        }
    }
    if (line != "end_header") return false;
    std::streampos bodyStart = in.tellg();
    in.seekg(0, std::ios::end);
    bodyBytes = static_cast<std::size_t>(in.tellg() - bodyStart);
    return true;
}

}  // namespace

TEST(ClientArgs, DefaultsAndValues) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
    };
    const Case cases[] = {
        {{}, true},
        {{"--ip", "192.168.1.10", "--seconds", "5", "--port", "7001"}, true},
        {{"--port", "0"}, false},
        {{"--port", "65536"}, false},
        {{"--port", "12a"}, false},
        {{"--seconds"}, false},
        {{"--seconds", "0"}, false},
        {{"--mode", "2"}, false},
        {{"--bogus"}, false},
        {{"--ip", ""}, false},
    };
    for (const auto& c : cases) {
        ClientOptions o;
        std::string err;
        EXPECT_EQ(parseClientArgs(c.args, o, err), c.ok) << (c.args.empty() ? "(none)" : c.args[0]) << " " << err;
        if (!c.ok) {
            EXPECT_FALSE(err.empty());
        }
    }
    ClientOptions o;
    std::string err;
    ASSERT_TRUE(parseClientArgs({"--ip", "10.0.0.7", "--seconds", "5", "--port", "7001", "--no-imu", "--fusion",
                                 "--save-ply", "a.ply", "--mode", "1"},
                                o, err));
    EXPECT_EQ(o.cameraIp, "10.0.0.7");
    EXPECT_EQ(o.seconds, 5);
    EXPECT_EQ(o.hostPort, 7001);
    EXPECT_EQ(o.sourcePort, 6301);
    EXPECT_FALSE(o.imu);
    EXPECT_TRUE(o.fusion);
    EXPECT_TRUE(o.rgb);  // fusion needs the RGB stream
    EXPECT_EQ(o.savePly, "a.ply");
    EXPECT_EQ(o.deviceMode, 1);
}

TEST(ClientArgs, UsageNamesEveryOption) {
    std::string usage = orbclient::clientUsage();
    for (const char* opt : {"--ip", "--host-ip", "--port", "--source-port", "--seconds", "--simulator", "--no-rgb",
                            "--no-imu", "--angle", "--fusion", "--mode", "--save-ply", "--save-depth",
                            "--save-intensity", "--save-rgb", "--help"})
        EXPECT_NE(usage.find(opt), std::string::npos) << opt;
}

TEST(ClientExport, PlyHeaderMatchesBody) {
    auto frame = frameWithPoints(500);
    const std::string path = tempPath("plain.ply");
    ASSERT_EQ(orbclient::writePly(path, frame.data()), 500);
    long vertices = 0;
    std::vector<std::string> props;
    std::size_t body = 0;
    ASSERT_TRUE(readPlyHeader(path, vertices, props, body));
    EXPECT_EQ(vertices, 500);
    EXPECT_EQ(props, (std::vector<std::string>{"x", "y", "z", "intensity"}));
    EXPECT_EQ(body, 500u * 13u);

    // The first vertex is the first non-empty point, bytes as written.
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = all.find("end_header\n") + 11;
    float xyz[3];
    std::memcpy(xyz, all.data() + start, sizeof xyz);
    EXPECT_FLOAT_EQ(xyz[0], 100.0f);
    EXPECT_FLOAT_EQ(xyz[1], -3.5f);
    EXPECT_FLOAT_EQ(xyz[2], 2.25f);
    std::remove(path.c_str());
}

TEST(ClientExport, PlyWithColourAndEmptyFrame) {
    auto frame = frameWithPoints(10);
    std::vector<std::uint8_t> rgb(3 * ZEL_ORB_FRAME_POINTS, 7);
    const std::string path = tempPath("colour.ply");
    ASSERT_EQ(orbclient::writePly(path, frame.data(), rgb.data()), 10);
    long vertices = 0;
    std::vector<std::string> props;
    std::size_t body = 0;
    ASSERT_TRUE(readPlyHeader(path, vertices, props, body));
    EXPECT_EQ(props.size(), 7u);
    EXPECT_EQ(body, 10u * 16u);

    std::vector<ZelOrbPointData> empty(ZEL_ORB_FRAME_POINTS);
    ASSERT_EQ(orbclient::writePly(path, empty.data()), 0);
    props.clear();
    ASSERT_TRUE(readPlyHeader(path, vertices, props, body));
    EXPECT_EQ(vertices, 0);
    EXPECT_EQ(body, 0u);
    std::remove(path.c_str());

    EXPECT_EQ(orbclient::writePly("/nonexistent-dir/x.ply", frame.data()), -1);
}

TEST(ClientExport, PngImagesAreValid) {
    auto frame = frameWithPoints(2000);
    const std::string depth = tempPath("depth.png"), inten = tempPath("intensity.png"), rgbPath = tempPath("rgb.png");
    ASSERT_TRUE(orbclient::writeDepthPng(depth, frame.data()));
    ASSERT_TRUE(orbclient::writeIntensityPng(inten, frame.data()));
    cv::Mat d = cv::imread(depth, cv::IMREAD_COLOR);
    ASSERT_EQ(d.rows, ZEL_ORB_FRAME_ROWS);
    ASSERT_EQ(d.cols, ZEL_ORB_FRAME_COLS);
    // Empty points are black, filled ones are not.
    EXPECT_EQ(d.at<cv::Vec3b>(0, 1), cv::Vec3b(0, 0, 0));
    EXPECT_NE(d.at<cv::Vec3b>(1999 * 7 / ZEL_ORB_FRAME_COLS, 1999 * 7 % ZEL_ORB_FRAME_COLS), cv::Vec3b(0, 0, 0));
    EXPECT_FALSE(cv::imread(inten).empty());

    std::vector<std::uint8_t> pixels(1600 * 1200 * 3);
    for (std::size_t i = 0; i < pixels.size(); i += 3) pixels[i] = 200;  // pure red
    ZelOrbRgbData img{};
    img.width = 1600;
    img.height = 1200;
    img.channels = 3;
    img.size = pixels.size();
    img.data = pixels.data();
    ASSERT_TRUE(orbclient::writeRgbPng(rgbPath, img));
    cv::Mat back = cv::imread(rgbPath, cv::IMREAD_COLOR);
    ASSERT_EQ(back.cols, 1600);
    EXPECT_EQ(back.at<cv::Vec3b>(10, 10), cv::Vec3b(0, 0, 200));  // BGR on disk

    img.size = 0;
    EXPECT_FALSE(orbclient::writeRgbPng(rgbPath, img));
    img.size = pixels.size() - 3;  // inconsistent record
    EXPECT_FALSE(orbclient::writeRgbPng(rgbPath, img));
    for (const auto& p : {depth, inten, rgbPath}) std::remove(p.c_str());
}

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
