// Network namespaces a test makes for itself, so broadcast, multicast and
// packet capture never reach the machine's own interfaces.
#pragma once

#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // setns
#endif
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace orbtest {

inline bool shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A network namespace named "orbt<pid><tag>" that lives as long as the object;
// deleting it removes every interface inside it.
class NetNamespace {
public:
    explicit NetNamespace(const std::string& tag) : name_("orbt" + std::to_string(::getpid()) + tag) {
        shell("ip netns del " + name_);  // a leftover of a crashed run with the same pid
        ok_ = shell("ip netns add " + name_) && ip("link set lo up");
    }
    ~NetNamespace() {
        if (ok_) shell("ip netns del " + name_);
    }
    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }
    bool ip(const std::string& args) const { return shell("ip -n " + name_ + " " + args); }
    // Runs fn on a thread inside the namespace (sockets belong to the namespace
    // of the thread that makes them); false when it could not enter.
    bool run(const std::function<void()>& fn) const {
        const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        bool entered = false;
        std::thread t([&] {
            entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
            if (entered) fn();
        });
        t.join();
        if (fd >= 0) ::close(fd);
        return entered;
    }

private:
    std::string name_;
    bool ok_ = false;
};

// Why namespaces cannot be made here (root and the ip tool are needed); empty when they can.
inline std::string namespacesUnavailableReason() {
    if (::geteuid() != 0) return "network namespaces need root";
    if (!shell("command -v ip")) return "the ip tool (iproute2) is not installed";
    NetNamespace probe("probe");
    if (!probe.ok()) return "ip netns add failed (no namespace support or not permitted)";
    if (!probe.ip("link add p0 type veth peer name p1")) return "veth interfaces cannot be made";
    return std::string();
}

}  // namespace orbtest
