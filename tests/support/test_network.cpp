#include "support/test_network.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <thread>

#include "core/error.h"
#include "os/paths.h"

namespace vel::test {

namespace {

std::string findIp() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (FileExists(path)) return path;
    }
    return {};
}

// Runs body on a thread of its own that has entered the namespace the file names: network
// namespaces are per thread.
void runInNamespaceFile(const std::string& path, const std::function<void()>& body) {
    std::exception_ptr failure;
    std::thread thread([&] {
        try {
            const UniqueFd target(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (!target || ::setns(target.get(), CLONE_NEWNET) != 0) {
                throw Error("cannot enter the network namespace " + path);
            }
            body();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    thread.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

std::string PrepareEnforcingNetwork(TestNetwork& net) {
    if (::geteuid() != 0) return "network namespaces need root";
    if (findIp().empty()) return "the ip command (iproute2) is not installed";
    if (!net.createNamespaces()) return "network namespaces cannot be created here";
    if (!net.connect()) {
        ADD_FAILURE() << "could not join the namespaces with veth pairs";
        return "the namespaces could not be joined";
    }
    if (net.run(net.machine(), {"nft", "list", "ruleset"}).exitCode != 0)
        return "nftables does not work inside a network namespace here";
    return {};
}

TestNetwork::TestNetwork(std::vector<std::string> subnets)
    : ip_(findIp()), subnets_(std::move(subnets)) {
    static std::atomic<int> counter{0};
    const std::string prefix = "vel" + std::to_string(::getpid()) + "n" + std::to_string(counter++);
    machine_ = prefix + "m";
    for (std::size_t i = 0; i < subnets_.size(); ++i)
        clients_.push_back(prefix + "c" + std::to_string(i));
}

TestNetwork::~TestNetwork() {
    // Deleting a namespace takes its end of every veth pair, and with it the peer.
    for (const std::string& ns : created_) ip({"netns", "del", ns});
}

bool TestNetwork::ip(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{ip_};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv).exitCode == 0;
}

bool TestNetwork::createNamespaces() {
    if (ip_.empty()) return false;
    std::vector<std::string> all{machine_};
    all.insert(all.end(), clients_.begin(), clients_.end());
    for (const std::string& ns : all) {
        if (!ip({"netns", "add", ns})) return false;
        created_.push_back(ns);
        if (!ip({"-n", ns, "link", "set", "lo", "up"})) return false;
    }
    return true;
}

bool TestNetwork::connect() {
    for (std::size_t i = 0; i < clients_.size(); ++i) {
        // Link names are local to their namespace, so the same names serve every test.
        const std::string m = "m" + std::to_string(i);
        const std::string c = "c" + std::to_string(i);
        if (!ip({"-n", machine_, "link", "add", m, "type", "veth", "peer", "name", c, "netns",
                 clients_[i]}) ||
            !ip({"-n", machine_, "addr", "add", machineAddress(i) + "/24", "dev", m}) ||
            !ip({"-n", clients_[i], "addr", "add", clientAddress(i) + "/24", "dev", c}) ||
            !ip({"-n", machine_, "link", "set", m, "up"}) ||
            !ip({"-n", clients_[i], "link", "set", c, "up"})) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> TestNetwork::execIn(const std::string& ns) const {
    return {ip_, "netns", "exec", ns};
}

ProcessResult TestNetwork::run(const std::string& ns, const std::vector<std::string>& argv,
                               const std::vector<std::string>& extraEnv) const {
    std::vector<std::string> command = execIn(ns);
    command.insert(command.end(), argv.begin(), argv.end());
    return RunProcess(command, extraEnv);
}

void TestNetwork::RunIn(const std::string& ns, const std::function<void()>& body) {
    runInNamespaceFile("/run/netns/" + ns, body);
}

void TestNetwork::RunInNetworkOf(int pid, const std::function<void()>& body) {
    runInNamespaceFile("/proc/" + std::to_string(pid) + "/ns/net", body);
}

UniqueFd TestNetwork::SocketIn(const std::string& ns, int type) {
    UniqueFd fd;
    RunIn(ns, [&] { fd = UniqueFd(::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)); });
    if (!fd) throw Error("socket failed in " + ns);
    return fd;
}

}  // namespace vel::test
