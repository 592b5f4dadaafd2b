#pragma once

#include <functional>
#include <string>
#include <vector>

#include "os/unique_fd.h"
#include "support/process.h"

namespace vel::test {

// Network namespaces of one test: a machine joined to each client by a veth pair on a /24 of its
// own (the machine is .1 and the client .2). Nothing leaves these namespaces, so enforcing rules
// in the machine cannot touch the host. Names carry the process id and a counter so that parallel
// test programs do not collide; the namespaces and their links go away with the object, whatever
// happened meanwhile.
class TestNetwork {
  public:
    // One client per subnet prefix: "10.231.1" puts the machine at 10.231.1.1 and the client at
    // 10.231.1.2.
    explicit TestNetwork(std::vector<std::string> subnets);
    ~TestNetwork();
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    // Creates the namespaces; false when this machine cannot make network namespaces at all.
    bool createNamespaces();
    // Joins every client to the machine; false when a link could not be made.
    bool connect();

    const std::string& machine() const { return machine_; }
    const std::string& client(std::size_t i) const { return clients_.at(i); }
    // The machine's address as client i sees it, and client i's own address.
    std::string machineAddress(std::size_t i) const { return subnets_.at(i) + ".1"; }
    std::string clientAddress(std::size_t i) const { return subnets_.at(i) + ".2"; }

    // The argument vector that runs a program inside a namespace: `ip netns exec <ns>`.
    std::vector<std::string> execIn(const std::string& ns) const;
    // Runs a program inside a namespace through execIn (argv[0] is looked up on PATH, which
    // extraEnv may replace).
    ProcessResult run(const std::string& ns, const std::vector<std::string>& argv,
                      const std::vector<std::string>& extraEnv = {}) const;

    // Runs body on a thread that has entered the namespace: sockets it creates and processes it
    // spawns belong to that namespace.
    static void RunIn(const std::string& ns, const std::function<void()>& body);
    // The same in the network namespace of a running process.
    static void RunInNetworkOf(int pid, const std::function<void()>& body);
    // A non-blocking socket of the given type (SOCK_STREAM, SOCK_DGRAM) in the namespace.
    static UniqueFd SocketIn(const std::string& ns, int type);

  private:
    bool ip(const std::vector<std::string>& args) const;

    std::string ip_;
    std::vector<std::string> subnets_;
    std::string machine_;
    std::vector<std::string> clients_;
    std::vector<std::string> created_;
};

// Makes and joins net's namespaces for a test that enforces rules in them: empty when they are
// ready and nft works there, otherwise why the test cannot run here. Namespaces that exist but
// cannot be joined are also a test failure.
std::string PrepareEnforcingNetwork(TestNetwork& net);

}  // namespace vel::test
