#include "gate/connection_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

#include "os/unique_fd.h"

namespace vel::gate {
namespace {

using namespace std::chrono_literals;

struct Peer {
    sockaddr_storage address{};
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address); }
};

Peer peer(const std::string& text) {
    Peer peer;
    if (text.find(':') == std::string::npos) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(peer.address);
        v4.sin_family = AF_INET;
        EXPECT_EQ(::inet_pton(AF_INET, text.c_str(), &v4.sin_addr), 1);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(peer.address);
        v6.sin6_family = AF_INET6;
        EXPECT_EQ(::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr), 1);
    }
    return peer;
}

// One end stands for the server's socket, the other tells whether the table shut it.
struct Socket {
    UniqueFd server;
    UniqueFd client;
    Socket() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        server.reset(fds[0]);
        client.reset(fds[1]);
    }
    bool shut() const {
        char byte;
        return ::recv(client.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }
};

ConnectionTable::Limits floodLimits() {
    ConnectionTable::Limits limits;
    limits.refusedPerSecond = 3;
    limits.penalty = 10s;
    return limits;
}

TEST(ConnectionTableTest, AClientFloodingRefusedRequestsIsShutOutUntilItsPenaltyEnds) {
    ConnectionTable table(floodLimits());
    const auto start = ConnectionTable::Clock::now();
    const Peer flooder = peer("2001:db8:1:2::1");
    const Peer sameNetwork = peer("2001:db8:1:2::99");
    const Peer neighbour = peer("2001:db8:1:3::1");
    Socket busy, waiting, other;
    const void* busyHandle = table.opened(busy.server.get(), flooder.get(), start);
    table.opened(waiting.server.get(), sameNetwork.get(), start);
    table.opened(other.server.get(), neighbour.get(), start);
    table.headArrived(busyHandle);

    // Successes and server errors never count; 4xx do, the rate limiter's 429 included.
    for (unsigned status : {200u, 204u, 500u, 503u, 400u, 404u, 429u}) {
        EXPECT_FALSE(table.answered(busyHandle, status, start)) << status;
    }
    EXPECT_TRUE(table.answered(busyHandle, 403, start + 500ms));
    // The penalty has begun once; more refusals in it do not start it again.
    EXPECT_FALSE(table.answered(busyHandle, 400, start + 600ms));

    EXPECT_TRUE(waiting.shut());  // it waited for a request, so it is shut at once
    EXPECT_FALSE(busy.shut());    // its answer is still on the way
    table.requestDone(busyHandle, start + 600ms);
    EXPECT_TRUE(busy.shut());
    EXPECT_FALSE(other.shut());

    const auto during = start + 9s;
    EXPECT_FALSE(table.admits(flooder.get(), during));
    EXPECT_FALSE(table.admits(sameNetwork.get(), during));
    EXPECT_TRUE(table.admits(neighbour.get(), during));
    // A connection that passed the accept check just before the penalty began is shut as it opens.
    Socket late;
    table.opened(late.server.get(), flooder.get(), during);
    EXPECT_TRUE(late.shut());

    const auto after = start + 500ms + 10s;
    EXPECT_TRUE(table.admits(flooder.get(), after));
    Socket again;
    table.opened(again.server.get(), flooder.get(), after);
    EXPECT_FALSE(again.shut());
}

TEST(ConnectionTableTest, RefusalsCountWithinOneSecondAndSurviveTheSweep) {
    ConnectionTable table(floodLimits());
    const auto start = ConnectionTable::Clock::now();
    const Peer client = peer("192.0.2.1");
    Socket socket;
    const void* handle = table.opened(socket.server.get(), client.get(), start);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(table.answered(handle, 400, start));
    // A new second starts a new count.
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(table.answered(handle, 400, start + 1s));
    EXPECT_TRUE(table.admits(client.get(), start + 1s));
    // The sweep forgets a client only once its connections are gone, so the count survives it.
    EXPECT_EQ(table.shutOverdue(start + 1500ms), 0u);
    EXPECT_TRUE(table.answered(handle, 400, start + 1500ms));
    EXPECT_FALSE(table.admits(client.get(), start + 1500ms));
}

}  // namespace
}  // namespace vel::gate
