// Guards discovery against missed, doubled or foreign cameras and wrong host addresses across network namespaces.

// The library runs inside the "host" namespace; cameras answer or announce over veth links.
#include <unistd.h>

#include "announcer.h"
#include "command_responder.h"
#include "control/discovery.h"
#include "device/context.h"
#include "settings_store.h"
#include "support/harness.h"
#include "support/netns.h"

namespace {

using orbtest::NetNamespace;
using orbtest::namespacesUnavailableReason;

#define SKIP_WITHOUT_NAMESPACES() \
    if (const std::string why = namespacesUnavailableReason(); !why.empty()) GTEST_SKIP() << why

// Links host namespace h to camera namespace d: veth <hostIf> (address
// hostCidr) <-> <camIf> (address camCidr).
bool link(const NetNamespace& h, const std::string& hostIf, const std::string& hostCidr, const NetNamespace& d,
          const std::string& camIf, const std::string& camCidr) {
    return h.ip("link add " + hostIf + " type veth peer name " + camIf + " netns " + d.name()) &&
           h.ip("addr add " + hostCidr + " dev " + hostIf) && d.ip("addr add " + camCidr + " dev " + camIf) &&
           h.ip("link set " + hostIf + " up") && d.ip("link set " + camIf + " up");
}

std::set<std::pair<std::string, std::string>> found(const std::vector<ZelOrbFoundDevice>& v, int count) {
    std::set<std::pair<std::string, std::string>> s;
    for (int i = 0; i < count && i < static_cast<int>(v.size()); ++i) s.emplace(v[i].dev_ip, v[i].host_ip);
    return s;
}

// Three cameras on three links; the first link carries a second host address.
// The third camera answers with status 0, which is no answer.
TEST(Discovery, ActiveFindsEachCameraFromEachHostAddress) {
    SKIP_WITHOUT_NAMESPACES();
    NetNamespace host("h"), cam1("c1"), cam2("c2"), cam3("c3");
    ASSERT_TRUE(host.ok() && cam1.ok() && cam2.ok() && cam3.ok());
    ASSERT_TRUE(link(host, "h1", "10.201.1.1/24", cam1, "d1", "10.201.1.2/24"));
    ASSERT_TRUE(host.ip("addr add 10.201.1.5/24 dev h1"));
    ASSERT_TRUE(link(host, "h2", "10.201.2.1/24", cam2, "d2", "10.201.2.2/24"));
    ASSERT_TRUE(link(host, "h3", "10.201.3.1/24", cam3, "d3", "10.201.3.2/24"));

    std::vector<std::unique_ptr<orbsim::CommandResponder>> responders;
    for (const NetNamespace* ns : {&cam1, &cam2, &cam3}) {
        orbsim::ResponderOptions opt;
        opt.bindAny = true;  // the request is a broadcast
        auto store = std::make_shared<orbsim::SettingsStore>("0.0.0.0");
        responders.push_back(std::make_unique<orbsim::CommandResponder>(store, opt));
        bool started = false;
        ASSERT_TRUE(ns->run([&] { started = responders.back()->start(); }) && started);
    }
    responders[2]->setFault(3, orbtest::fault([](auto& f) { f.status = 0; }));

    std::vector<ZelOrbFoundDevice> devices(16);
    int32_t count = 0;
    bool result = false;
    std::vector<std::string> hostAddresses;
    ASSERT_TRUE(host.run([&] {
        hostAddresses = orb::discoveryHostAddresses();
        result = ZelOrbActiveFindDevice(devices.data(), static_cast<uint16_t>(devices.size()), &count);
    }));
    std::sort(hostAddresses.begin(), hostAddresses.end());
    EXPECT_EQ(hostAddresses, (std::vector<std::string>{"10.201.1.1", "10.201.1.5", "10.201.2.1", "10.201.3.1"}));
    ASSERT_TRUE(result && count == 3) << count;
    const std::set<std::pair<std::string, std::string>> expected = {
        {"10.201.1.2", "10.201.1.1"}, {"10.201.1.2", "10.201.1.5"}, {"10.201.2.2", "10.201.2.1"}};
    EXPECT_EQ(found(devices, count), expected);
    EXPECT_GE(responders[2]->requestsFor(3).size(), 1u);  // it was asked, and its status-0 reply ignored

    // max_count 1: the first answer ends the search.
    ASSERT_TRUE(host.run([&] { result = ZelOrbActiveFindDevice(devices.data(), 1, &count); }));
    EXPECT_TRUE(result && count == 1 && expected.count({devices[0].dev_ip, devices[0].host_ip}) == 1);

    EXPECT_FALSE(ZelOrbActiveFindDevice(devices.data(), 0, &count));
    EXPECT_EQ(orb::libraryContext().discovery.message(), "Find device -> error max search count!");
}

// Four announcers on one link, one with a module text that is no address.
TEST(Discovery, PassiveCollectsAnnouncementsOnce) {
    SKIP_WITHOUT_NAMESPACES();
    NetNamespace host("h"), cams("c");
    ASSERT_TRUE(host.ok() && cams.ok());
    ASSERT_TRUE(link(host, "h0", "10.202.0.1/24", cams, "d0", "10.202.0.2/24"));
    for (const char* a : {"10.202.0.3/24", "10.202.0.4/24", "10.202.0.5/24"})
        ASSERT_TRUE(cams.ip(std::string("addr add ") + a + " dev d0"));

    std::vector<std::unique_ptr<orbsim::Announcer>> announcers;
    for (int i = 2; i <= 5; ++i) {
        const std::string ip = "10.202.0." + std::to_string(i);
        auto store = std::make_shared<orbsim::SettingsStore>(ip);
        orbsim::NetSettings n;
        n.lidarIp = i == 5 ? "camera-5" : ip, n.hostIp = "10.202.0.1";
        n.lidarPort = static_cast<std::uint16_t>(6300 + i), n.hostPort = static_cast<std::uint16_t>(6000 + i);
        store->setNetSettings(n);
        orbsim::AnnouncerOptions opt;
        opt.interfaceIp = ip;
        opt.intervalMs = 100;
        announcers.push_back(std::make_unique<orbsim::Announcer>(store, opt));
        bool started = false;
        ASSERT_TRUE(cams.run([&] { started = announcers.back()->start(); }) && started);
    }

    ZelOrbNetInfo* records = nullptr;
    int32_t count = 0;
    ASSERT_TRUE(host.run([&] { records = ZelOrbPassiveFindDevice("10.202.0.1", &count); }));
    ASSERT_TRUE(records && count == 3) << count;
    std::set<std::string> ips;
    for (int i = 0; i < count; ++i) {
        const int last = records[i].lidar_ip[9] - '0';  // "10.202.0.N"
        ips.insert(records[i].lidar_ip);
        EXPECT_TRUE(std::string(records[i].host_ip) == "10.202.0.1" && records[i].lidar_port == 6300 + last &&
                    records[i].host_port == 6000 + last) << records[i].lidar_ip;
    }
    EXPECT_EQ(ips, (std::set<std::string>{"10.202.0.2", "10.202.0.3", "10.202.0.4"}));
    for (const auto& a : announcers) EXPECT_GT(a->sentCount(), 1u);  // repeats were reported once
    // Failing on an interface that is no host address leaves the array alone and reports -1.
    int32_t failed = 0;
    ASSERT_TRUE(host.run([&] { ZelOrbPassiveFindDevice("10.99.0.1", &failed); }));
    EXPECT_TRUE(failed == -1 && std::string(records[0].host_ip) == "10.202.0.1");
}

}  // namespace
