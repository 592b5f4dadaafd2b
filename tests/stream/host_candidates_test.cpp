#include "stream/host_candidates.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>

namespace vel::stream {
namespace {

class ListedAddresses final : public InterfaceAddresses {
  public:
    void add(const char* name, unsigned flags, const char* address) {
        InterfaceAddress entry;
        entry.interfaceName = name;
        entry.flags = flags;
        if (::inet_pton(AF_INET, address,
                        &reinterpret_cast<sockaddr_in&>(entry.address).sin_addr)) {
            entry.address.ss_family = AF_INET;
        } else {
            ASSERT_EQ(::inet_pton(AF_INET6, address,
                                  &reinterpret_cast<sockaddr_in6&>(entry.address).sin6_addr),
                      1);
            entry.address.ss_family = AF_INET6;
        }
        entries.push_back(entry);
    }
    bool list(std::vector<InterfaceAddress>& out) override {
        out = entries;
        return works;
    }
    std::vector<InterfaceAddress> entries;
    bool works = true;
};

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

TEST(HostCandidates, OffersReachableAddressesOfRunningInterfacesInOrder) {
    ListedAddresses system;
    system.add("lo", kUp | IFF_LOOPBACK, "127.0.0.1");
    system.add("eth0", kUp, "192.0.2.10");
    system.add("eth0", kUp, "169.254.3.4");
    system.add("eth0", kUp, "fe80::1");
    system.add("eth0", kUp, "febf::1");  // still fe80::/10
    system.add("eth0", kUp, "2001:db8::10");
    system.add("eth0", kUp, "::1");
    system.add("eth1", IFF_UP, "198.51.100.1");       // administratively up, no carrier
    system.add("eth2", IFF_RUNNING, "198.51.100.2");  // down
    system.add("wg0", kUp, "10.0.0.1");
    system.add("eth3", kUp, "fec0::1");  // just outside fe80::/10

    std::vector<std::string> texts;
    for (const Endpoint& endpoint : hostCandidates(7441, system))
        texts.push_back(toString(endpoint));
    EXPECT_EQ(texts, (std::vector<std::string>{"192.0.2.10:7441", "[2001:db8::10]:7441",
                                               "10.0.0.1:7441", "[fec0::1]:7441"}));

    system.works = false;
    EXPECT_TRUE(hostCandidates(7441, system).empty());
}

}  // namespace
}  // namespace vel::stream
