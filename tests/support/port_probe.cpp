#include "support/port_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "core/error.h"
#include "support/test_network.h"

namespace vel::test {

namespace {

sockaddr_in socketAddress(const std::string& address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & events) != 0;
}

}  // namespace

UniqueFd ListeningSocket(const std::string& ns, int type, std::uint16_t port) {
    UniqueFd fd = TestNetwork::SocketIn(ns, type);
    const int yes = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in sa = socketAddress("0.0.0.0", port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        (type == SOCK_STREAM && ::listen(fd.get(), 64) != 0)) {
        throw Error("cannot listen on port " + std::to_string(port));
    }
    return fd;
}

bool TcpConnects(const std::string& clientNs, const std::string& address, std::uint16_t port,
                 int listener, bool expectOpen) {
    UniqueFd fd = TestNetwork::SocketIn(clientNs, SOCK_STREAM);
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
    // The server's half may reach the accept queue just after the client's; take it either way.
    if (connected) waitFor(listener, POLLIN, 1000);
    while (UniqueFd(::accept(listener, nullptr, nullptr))) {
    }
    return connected;
}

bool UdpDelivered(const std::string& clientNs, const std::string& address, std::uint16_t port,
                  int receiver, bool expectOpen) {
    UniqueFd fd = TestNetwork::SocketIn(clientNs, SOCK_DGRAM);
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

}  // namespace vel::test
