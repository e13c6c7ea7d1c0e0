#pragma once
// A network namespace joined to this one by a veth pair, with addresses from
// 198.18.0.0/15, for traffic that must not be loopback yet never leaves the machine.
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class PrivateNetwork {
public:
    // Absent (with the reason) when not root or `ip` cannot make the namespace.
    static std::unique_ptr<PrivateNetwork> create(std::string& whyNot);
    // Deletes the namespace, which takes both ends of the veth pair with it.
    ~PrivateNetwork();
    PrivateNetwork(const PrivateNetwork&) = delete;
    PrivateNetwork& operator=(const PrivateNetwork&) = delete;

    const std::string& name() const { return name_; }
    const std::string& hostAddress() const { return hostAddress_; }     // this side
    const std::string& insideAddress() const { return insideAddress_; } // in the namespace
    // The command run inside the namespace.
    std::vector<std::string> inside(const std::vector<std::string>& command) const;

private:
    PrivateNetwork() = default;
    std::string name_, hostLink_, hostAddress_, insideAddress_;
};

// Runs a command to its end; its exit status, or -1. Output goes to `output` when given.
int runCommand(const std::vector<std::string>& command, std::string* output = nullptr);

}  // namespace testsupport
