// Real enforcement: the projection is applied inside a network namespace that plays the machine,
// and clients in two other namespaces try real TCP and UDP connections. Nothing leaves these
// namespaces: they are joined only to each other by veth pairs.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/paths.h"
#include "core/unique_fd.h"
#include "guard/firewall.h"
#include "guard/firewall_store_file.h"
#include "guard/nft_runner.h"
#include "support/temp_directory.h"

extern char** environ;

namespace vel::gate {
namespace {

constexpr std::uint16_t kRdpPort = 3389;
constexpr std::uint16_t kStreamPort = 7441;
constexpr std::uint16_t kOtherPort = 2222;  // a service the projection must never touch

// How long an attempt may go unanswered before the port counts as closed. Dropped packets are
// never answered, so this bounds the test's run time rather than measuring anything.
constexpr int kClosedAfterMs = 1500;
constexpr int kOpenWithinMs = 10000;

std::string findIp() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (FileExists(path)) return path;
    }
    return {};
}

// Runs a program (no shell) with its output discarded; true when it exits with status 0.
bool run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Three namespaces: the machine, joined by one veth pair to each of two clients on their own
// subnets. Removed, with their links, when the object goes away, whatever happened meanwhile.
class TestNetwork {
  public:
    explicit TestNetwork(std::string ip) : ip_(std::move(ip)) {
        const std::string suffix = std::to_string(::getpid());
        machine = "velfw-m-" + suffix;
        clients[0] = "velfw-a-" + suffix;
        clients[1] = "velfw-b-" + suffix;
    }
    ~TestNetwork() {
        for (const std::string& ns : created_) run({ip_, "netns", "del", ns});
    }
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    // False when the machine cannot make namespaces at all.
    bool createNamespaces() {
        for (const std::string& ns : {machine, clients[0], clients[1]}) {
            if (!run({ip_, "netns", "add", ns})) return false;
            created_.push_back(ns);
            if (!run({ip_, "-n", ns, "link", "set", "lo", "up"})) return false;
        }
        return true;
    }

    bool connect() {
        for (int i = 0; i < 2; ++i) {
            const std::string m = "m" + std::to_string(i);
            const std::string c = "c" + std::to_string(i);
            const std::string subnet = "10.231." + std::to_string(i + 1) + ".";
            if (!run({ip_, "-n", machine, "link", "add", m, "type", "veth", "peer", "name", c,
                      "netns", clients[i]}) ||
                !run({ip_, "-n", machine, "addr", "add", subnet + "1/24", "dev", m}) ||
                !run({ip_, "-n", clients[i], "addr", "add", subnet + "2/24", "dev", c}) ||
                !run({ip_, "-n", machine, "link", "set", m, "up"}) ||
                !run({ip_, "-n", clients[i], "link", "set", c, "up"})) {
                return false;
            }
        }
        return true;
    }

    // The machine's address as client i sees it, and client i's own address.
    static std::string machineAddress(int i) { return "10.231." + std::to_string(i + 1) + ".1"; }
    static std::string clientAddress(int i) { return "10.231." + std::to_string(i + 1) + ".2"; }

    std::string machine;
    std::string clients[2];

  private:
    std::string ip_;
    std::vector<std::string> created_;
};

// Sockets belong to the namespace they were created in, so the test thread steps into a
// namespace just long enough to create one.
UniqueFd socketIn(const std::string& ns, int type) {
    UniqueFd original(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
    UniqueFd target(::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC));
    if (!original || !target || ::setns(target.get(), CLONE_NEWNET) != 0) {
        throw Error("cannot enter network namespace " + ns);
    }
    UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (::setns(original.get(), CLONE_NEWNET) != 0) throw Error("cannot leave " + ns);
    if (!fd) throw Error("socket failed");
    return fd;
}

sockaddr_in socketAddress(const std::string& address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}

UniqueFd boundSocket(const std::string& ns, int type, std::uint16_t port) {
    UniqueFd fd = socketIn(ns, type);
    const int yes = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in sa = socketAddress("0.0.0.0", port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        (type == SOCK_STREAM && ::listen(fd.get(), 64) != 0)) {
        throw Error("cannot listen on port " + std::to_string(port));
    }
    return fd;
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & events) != 0;
}

// Completes a TCP handshake from the client's namespace; `expectOpen` picks how long to wait.
bool tcpConnects(const std::string& clientNs, const std::string& address, std::uint16_t port,
                 int listener, bool expectOpen) {
    UniqueFd fd = socketIn(clientNs, SOCK_STREAM);
    const sockaddr_in sa = socketAddress(address, port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 &&
        errno != EINPROGRESS) {
        return false;
    }
    int error = -1;
    socklen_t length = sizeof error;
    const bool connected =
        waitFor(fd.get(), POLLOUT, expectOpen ? kOpenWithinMs : kClosedAfterMs) &&
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    // Keep the listener's queue empty.
    while (UniqueFd(::accept(listener, nullptr, nullptr))) {
    }
    return connected;
}

// Sends one datagram from the client's namespace and reports whether the machine received it.
bool udpDelivered(const std::string& clientNs, const std::string& address, std::uint16_t port,
                  int receiver, bool expectOpen) {
    UniqueFd fd = socketIn(clientNs, SOCK_DGRAM);
    const sockaddr_in sa = socketAddress(address, port);
    const char ping[] = "ping";
    if (::sendto(fd.get(), ping, sizeof ping, 0, reinterpret_cast<const sockaddr*>(&sa),
                 sizeof sa) != static_cast<ssize_t>(sizeof ping)) {
        return false;
    }
    const bool received = waitFor(receiver, POLLIN, expectOpen ? kOpenWithinMs : kClosedAfterMs);
    char buffer[16];
    while (::recv(receiver, buffer, sizeof buffer, 0) > 0) {
    }
    return received;
}

TEST(FirewallEnforcement, RealConnectionsFollowTheStore) {
    if (::geteuid() != 0) GTEST_SKIP() << "network namespaces and nftables need root";
    const std::string ip = findIp();
    if (ip.empty()) GTEST_SKIP() << "the ip command (iproute2) is not installed";
    if (!FileExists("/usr/sbin/nft")) GTEST_SKIP() << "nft is not installed";
    TestNetwork net(ip);
    if (!net.createNamespaces()) GTEST_SKIP() << "network namespaces cannot be created here";
    ASSERT_TRUE(net.connect()) << "could not join the namespaces with veth pairs";
    if (!run({ip, "netns", "exec", net.machine, "nft", "list", "ruleset"})) {
        GTEST_SKIP() << "nftables does not work inside a network namespace here";
    }

    const UniqueFd rdp = boundSocket(net.machine, SOCK_STREAM, kRdpPort);
    const UniqueFd other = boundSocket(net.machine, SOCK_STREAM, kOtherPort);
    const UniqueFd stream = boundSocket(net.machine, SOCK_DGRAM, kStreamPort + 1);
    const auto rdpOpenFor = [&](int client, bool expectOpen) {
        return tcpConnects(net.clients[client], TestNetwork::machineAddress(client), kRdpPort,
                           rdp.get(), expectOpen);
    };
    const auto otherOpenFor = [&](int client) {
        return tcpConnects(net.clients[client], TestNetwork::machineAddress(client), kOtherPort,
                           other.get(), true);
    };
    const auto streamOpenFor = [&](int client, bool expectOpen) {
        return udpDelivered(net.clients[client], TestNetwork::machineAddress(client),
                            kStreamPort + 1, stream.get(), expectOpen);
    };

    TempDirectory data;
    FileFirewallStore store(data.path());
    NftCommand nft({ip, "netns", "exec", net.machine, "nft", "-f", "-"});
    Firewall firewall(store, nft);
    std::string error;

    // A fresh store: the built-in Remote Desktop rule is on, so everyone gets in.
    ASSERT_TRUE(firewall.setEnforcement({true, kRdpPort, kStreamPort}, error)) << error;
    EXPECT_TRUE(rdpOpenFor(0, true));
    EXPECT_TRUE(rdpOpenFor(1, true));

    // Protection closes the port for everyone, and nothing else.
    ASSERT_EQ(firewall.suppressAllowRules(kRdpPort, error), 1) << error;
    EXPECT_FALSE(rdpOpenFor(0, false));
    EXPECT_FALSE(rdpOpenFor(1, false));
    EXPECT_TRUE(otherOpenFor(1));
    EXPECT_FALSE(streamOpenFor(1, false));

    // A grant opens the port to its one address.
    const std::string grant =
        std::string(kGrantRulePrefix) + TestNetwork::clientAddress(0) + " [1]";
    ASSERT_TRUE(firewall.addAllowRule(grant, kRdpPort,
                                      hostRemoteAddress(TestNetwork::clientAddress(0), false),
                                      "test grant", error, kProtocolTcp))
        << error;
    EXPECT_TRUE(rdpOpenFor(0, true));
    EXPECT_FALSE(rdpOpenFor(1, false));

    // A stream rule opens one UDP port to its one address.
    const std::string streamRule =
        std::string(kStreamRulePrefix) + TestNetwork::clientAddress(1) + " [2]";
    ASSERT_TRUE(firewall.addAllowRule(streamRule, kStreamPort + 1,
                                      hostRemoteAddress(TestNetwork::clientAddress(1), false),
                                      "test stream", error, kProtocolUdp))
        << error;
    EXPECT_TRUE(streamOpenFor(1, true));
    EXPECT_FALSE(streamOpenFor(0, false));

    // Removing the grant closes the port again.
    ASSERT_TRUE(firewall.removeRule(grant, error)) << error;
    EXPECT_FALSE(rdpOpenFor(0, false));

    // Someone deletes the gate's table: the port is open until the next projection repairs it.
    ASSERT_TRUE(
        run({ip, "netns", "exec", net.machine, "nft", "delete", "table", "inet", "velmora"}));
    EXPECT_TRUE(rdpOpenFor(1, true));
    ASSERT_TRUE(firewall.reproject(error)) << error;
    EXPECT_FALSE(rdpOpenFor(1, false));
    EXPECT_TRUE(streamOpenFor(1, true));

    // Switching enforcement off removes the table altogether.
    ASSERT_TRUE(firewall.setEnforcement({false, kRdpPort, kStreamPort}, error)) << error;
    EXPECT_FALSE(
        run({ip, "netns", "exec", net.machine, "nft", "list", "table", "inet", "velmora"}));
    EXPECT_TRUE(rdpOpenFor(1, true));
}

}  // namespace
}  // namespace vel::gate
