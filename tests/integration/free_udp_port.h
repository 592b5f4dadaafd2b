#pragma once

// A UDP port on the loopback interface that was free a moment ago.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace vel::test {

inline std::uint16_t FreeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    static_cast<void>(::bind(fd, reinterpret_cast<sockaddr*>(&address), size));
    static_cast<void>(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size));
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace vel::test
