// Real enforcement: the projection is applied inside a network namespace that plays the machine,
// and clients in two other namespaces try real TCP and UDP connections. Removing rules and
// repairing a deleted table are shown through the gate in end_to_end_test.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "firewall/firewall.h"
#include "firewall/firewall_store_file.h"
#include "os/nft_runner.h"
#include "os/unique_fd.h"
#include "support/port_probe.h"
#include "support/temp_dir.h"
#include "support/test_network.h"

namespace vel::gate {

using firewall::FileFirewallStore;
using firewall::Firewall;
using firewall::kGrantRulePrefix;
using firewall::kProtocolTcp;
using firewall::kProtocolUdp;
using firewall::kStreamRulePrefix;

namespace {

using test::TcpConnects;
using test::TestNetwork;
using test::UdpDelivered;

constexpr std::uint16_t kRdpPort = 3389;
constexpr std::uint16_t kStreamPort = 7441;
constexpr std::uint16_t kOtherPort = 2222;  // a service the projection must never touch

TEST(FirewallEnforcement, RealConnectionsFollowTheStore) {
    TestNetwork net({"10.231.1", "10.231.2"});
    if (const std::string why = test::PrepareEnforcingNetwork(net); !why.empty()) {
        GTEST_SKIP() << why;
    }

    const UniqueFd rdp = test::ListeningSocket(net.machine(), SOCK_STREAM, kRdpPort);
    const UniqueFd other = test::ListeningSocket(net.machine(), SOCK_STREAM, kOtherPort);
    const UniqueFd stream = test::ListeningSocket(net.machine(), SOCK_DGRAM, kStreamPort + 1);
    const auto rdpOpenFor = [&](int client, bool expectOpen) {
        return TcpConnects(net.client(client), net.machineAddress(client), kRdpPort, rdp.get(),
                           expectOpen);
    };
    const auto otherOpenFor = [&](int client) {
        return TcpConnects(net.client(client), net.machineAddress(client), kOtherPort, other.get(),
                           true);
    };
    const auto streamOpenFor = [&](int client, bool expectOpen) {
        return UdpDelivered(net.client(client), net.machineAddress(client), kStreamPort + 1,
                            stream.get(), expectOpen);
    };

    test::TempDir data;
    FileFirewallStore store(data.path());
    std::vector<std::string> nftArgs = net.execIn(net.machine());
    nftArgs.push_back("nft");
    NftCommand nft(nftArgs);
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

    // A grant opens the port to its one address, a stream rule one UDP port to its one address.
    const std::string grant = std::string(kGrantRulePrefix) + net.clientAddress(0) + " [1]";
    ASSERT_TRUE(firewall.addAllowRule(grant, kRdpPort, net.clientAddress(0) + "/32", "test grant",
                                      error, kProtocolTcp))
        << error;
    EXPECT_TRUE(rdpOpenFor(0, true));
    EXPECT_FALSE(rdpOpenFor(1, false));
    const std::string streamRule = std::string(kStreamRulePrefix) + net.clientAddress(1) + " [2]";
    ASSERT_TRUE(firewall.addAllowRule(streamRule, kStreamPort + 1, net.clientAddress(1) + "/32",
                                      "test stream", error, kProtocolUdp))
        << error;
    EXPECT_TRUE(streamOpenFor(1, true));
    EXPECT_FALSE(streamOpenFor(0, false));

    // Switching enforcement off removes the table altogether.
    ASSERT_TRUE(firewall.setEnforcement({false, kRdpPort, kStreamPort}, error)) << error;
    EXPECT_NE(net.run(net.machine(), {"nft", "list", "table", "inet", "velmora"}).exitCode, 0);
    EXPECT_TRUE(rdpOpenFor(1, true));
}

}  // namespace
}  // namespace vel::gate
