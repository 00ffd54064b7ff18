// Network namespaces made by a test: each lives as long as its object, and
// deleting it removes every interface inside it. Sockets belong to the
// namespace of the thread that creates them, so code meant to run "inside"
// runs on a thread that has entered the namespace; threads it starts stay
// there too.
#pragma once

#include <functional>
#include <string>

namespace orbtest {

// Runs a command through the shell, output discarded; true on exit status 0.
bool shell(const std::string& command);

// Why this process cannot make network namespaces (needs root and the ip
// tool); empty when it can.
std::string namespacesUnavailableReason();

class NetNamespace {
public:
    // Named "orbt<pid><tag>"; tag keeps the namespaces of one test apart.
    explicit NetNamespace(const std::string& tag);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }

    // Runs "ip -n <name> <args>"; true on success.
    bool ip(const std::string& args) const;
    // Runs fn on a thread inside the namespace and waits for it; false when
    // the thread could not enter the namespace (fn is then not run).
    bool run(const std::function<void()>& fn) const;

private:
    std::string name_;
    bool ok_ = false;
};

}  // namespace orbtest
