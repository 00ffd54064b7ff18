#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // setns
#endif
#include "support/netns.h"

#include <cstdlib>

#ifdef _WIN32

namespace orbtest {

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }
std::string namespacesUnavailableReason() { return "network namespaces exist only on Linux"; }
NetNamespace::NetNamespace(const std::string& tag) : name_("orbt" + tag) {}
NetNamespace::~NetNamespace() = default;
bool NetNamespace::ip(const std::string&) const { return false; }
bool NetNamespace::run(const std::function<void()>&) const { return false; }

}  // namespace orbtest

#else

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <thread>

namespace orbtest {

bool shell(const std::string& command) {
    const std::string quiet = command + " >/dev/null 2>&1";
    return std::system(quiet.c_str()) == 0;
}

std::string namespacesUnavailableReason() {
    if (::geteuid() != 0) return "network namespaces need root";
    if (!shell("command -v ip")) return "the ip tool (iproute2) is not installed";
    NetNamespace probe("probe");
    if (!probe.ok()) return "ip netns add failed (no namespace support or not permitted)";
    if (!probe.ip("link add p0 type veth peer name p1")) return "veth interfaces cannot be made";
    return std::string();
}

NetNamespace::NetNamespace(const std::string& tag)
    : name_("orbt" + std::to_string(::getpid()) + tag) {
    shell("ip netns del " + name_);  // a leftover of a crashed run with the same pid
    ok_ = shell("ip netns add " + name_) && ip("link set lo up");
}

NetNamespace::~NetNamespace() {
    if (ok_) shell("ip netns del " + name_);
}

bool NetNamespace::ip(const std::string& args) const { return shell("ip -n " + name_ + " " + args); }

bool NetNamespace::run(const std::function<void()>& fn) const {
    const std::string path = "/run/netns/" + name_;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool entered = false;
    std::thread t([&] {
        entered = ::setns(fd, CLONE_NEWNET) == 0;
        if (entered) fn();
    });
    t.join();
    ::close(fd);
    return entered;
}

}  // namespace orbtest

#endif  // _WIN32
