#include "os/tcp_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "os/unique_fd.h"
#include "support/golden.h"

namespace vel {
namespace {

net::IpAddress ip(const char* text) {
    net::IpAddress address;
    EXPECT_TRUE(net::parseIpAddress(text, address)) << text;
    return address;
}

TEST(TcpTable, ParsesBothFamiliesIntoOneAddressType) {
    std::vector<TcpRow> rows = ParseProcNetTcp(test::Golden("proc-net-tcp"), false);
    ASSERT_EQ(rows.size(), 2u);  // the malformed rows are skipped
    const std::vector<TcpRow> rows6 = ParseProcNetTcp(test::Golden("proc-net-tcp6"), true);
    ASSERT_EQ(rows6.size(), 3u);
    rows.insert(rows.end(), rows6.begin(), rows6.end());

    EXPECT_TRUE(HasEstablishedConnection(rows, ip("203.113.0.5"), 3389));
    EXPECT_TRUE(HasEstablishedConnection(rows, ip("2001:db8::1"), 3389));
    // An IPv4 client of a dual-stack socket shows up in the IPv6 table, mapped.
    EXPECT_TRUE(HasEstablishedConnection(rows, ip("203.113.0.7"), 3389));
    EXPECT_FALSE(HasEstablishedConnection(rows, ip("203.113.0.5"), 3390));
    EXPECT_TRUE(IsListening(rows, 8443));    // the IPv6 wildcard listener
    EXPECT_FALSE(IsListening(rows, 50000));  // an established row is not a listener
}

TEST(TcpTable, SeesARealListenerAndConnectionOnLoopback) {
    UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(server);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(server.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(server.get(), 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(server.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::uint16_t port = ntohs(address.sin_port);

    const TcpTable& table = SystemTcpTable();
    EXPECT_TRUE(IsListening(table.rows(), port));
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    UniqueFd accepted(::accept(server.get(), nullptr, nullptr));
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(HasEstablishedConnection(table.rows(), ip("127.0.0.1"), port));

    server.reset();
    EXPECT_FALSE(IsListening(table.rows(), port));
}

}  // namespace
}  // namespace vel
