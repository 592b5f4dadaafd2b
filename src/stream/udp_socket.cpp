#include "stream/udp_socket.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "os/system_error.h"

namespace vel::stream {

namespace {

constexpr int kBufferBytes = 8 * 1024 * 1024;
constexpr int kExpeditedForwarding = 46 << 2;  // DSCP 46 in the upper six bits of TOS/TCLASS

void setInt(int fd, int level, int name, int value) {
    // Best effort by design: a missing option only costs quality, never correctness.
    (void)::setsockopt(fd, level, name, &value, sizeof value);
}

// The FORCE variants pass the kernel's cap but need CAP_NET_ADMIN; unprivileged runs get what
// the plain option allows (at most net.core.rmem_max / wmem_max).
void setBuffer(int fd, int forced, int plain) {
    if (::setsockopt(fd, SOL_SOCKET, forced, &kBufferBytes, sizeof kBufferBytes) != 0) {
        setInt(fd, SOL_SOCKET, plain, kBufferBytes);
    }
}

// Errors an unconnected UDP socket may still report for an earlier datagram's ICMP answer;
// they say nothing about the socket, as with WSAECONNRESET on Windows.
bool isIcmpEcho(int error) {
    return error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH ||
           error == EHOSTDOWN || error == ENETDOWN || error == EPROTO;
}

}  // namespace

bool UdpSocket::open(std::uint16_t port, std::string& error) {
    close();
    UniqueFd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!fd) {
        error = "socket() failed: " + SystemErrorText(errno);
        return false;
    }
    setInt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, 0);
    setBuffer(fd.get(), SO_RCVBUFFORCE, SO_RCVBUF);
    setBuffer(fd.get(), SO_SNDBUFFORCE, SO_SNDBUF);
    setInt(fd.get(), IPPROTO_IP, IP_TOS, kExpeditedForwarding);
    setInt(fd.get(), IPPROTO_IPV6, IPV6_TCLASS, kExpeditedForwarding);

    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        error = "bind(" + std::to_string(port) + ") failed: " + SystemErrorText(errno);
        return false;
    }
    sockaddr_in6 bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        error = "getsockname() failed: " + SystemErrorText(errno);
        return false;
    }
    fd_ = std::move(fd);
    port_.store(ntohs(bound.sin6_port));
    return true;
}

bool UdpSocket::sendTo(const Endpoint& to, std::span<const std::uint8_t> datagram) {
    if (!fd_ || !to.valid()) return false;
    const ssize_t sent =
        ::sendto(fd_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to.storage), static_cast<socklen_t>(to.length));
    return sent >= 0 && static_cast<std::size_t>(sent) == datagram.size();
}

std::size_t UdpSocket::sendSegments(const Endpoint& to,
                                    std::span<const std::span<const std::uint8_t>> datagrams) {
    // The kernel takes at most 64 segments and 64 KiB in one call.
    constexpr std::size_t kMaxSegments = 48;
    if (!fd_ || !to.valid()) return 0;
    if (datagrams.size() > 1 && datagrams.size() <= kMaxSegments && segmentation_.load()) {
        std::array<iovec, kMaxSegments> parts{};
        std::size_t total = 0;
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            parts[i] = {const_cast<std::uint8_t*>(datagrams[i].data()), datagrams[i].size()};
            total += datagrams[i].size();
        }
        alignas(cmsghdr) std::array<std::uint8_t, CMSG_SPACE(sizeof(std::uint16_t))> control{};
        msghdr message{};
        message.msg_name = const_cast<sockaddr_storage*>(&to.storage);
        message.msg_namelen = static_cast<socklen_t>(to.length);
        message.msg_iov = parts.data();
        message.msg_iovlen = datagrams.size();
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_UDP;
        header->cmsg_type = UDP_SEGMENT;
        header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const auto segment = static_cast<std::uint16_t>(datagrams[0].size());
        std::memcpy(CMSG_DATA(header), &segment, sizeof segment);
        const ssize_t sent = ::sendmsg(fd_.get(), &message, MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<std::size_t>(sent) == total ? datagrams.size() : 0;
        // Without GSO (old kernel, a device that refuses it) the datagrams go one by one.
        if (errno != EIO && errno != EINVAL && errno != EOPNOTSUPP && errno != ENOPROTOOPT) {
            return 0;
        }
        segmentation_.store(false);
    }
    std::size_t count = 0;
    for (const auto& datagram : datagrams) count += sendTo(to, datagram) ? 1 : 0;
    return count;
}

int UdpSocket::receive(std::span<std::uint8_t> buffer, Endpoint& from, int waitMs) {
    if (!fd_) return -1;
    const std::size_t capacity = std::min(buffer.size(), kReceiveLimit);
    bool waited = false;
    for (;;) {
        sockaddr_storage source{};
        socklen_t sourceLength = sizeof source;
        // MSG_TRUNC makes the result the datagram's real length, so truncation is visible.
        const ssize_t received = ::recvfrom(fd_.get(), buffer.data(), capacity, MSG_TRUNC,
                                            reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (received > 0 && static_cast<std::size_t>(received) > capacity) continue;
        if (received >= 0) {
            // An empty datagram carries nothing; it only wakes the receiver.
            if (received == 0) return 0;
            from = endpointFromSockaddr(reinterpret_cast<const sockaddr*>(&source), sourceLength);
            return static_cast<int>(received);
        }
        const int error = errno;
        if (error == EINTR || isIcmpEcho(error)) continue;
        if (error != EAGAIN && error != EWOULDBLOCK) return -1;
        if (waitMs < 1 || waited) return 0;
        waited = true;
        pollfd entry{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, waitMs);
        if (ready == 0) return 0;
        if (ready < 0) return errno == EINTR ? 0 : -1;
        if ((entry.revents & (POLLERR | POLLNVAL)) != 0) return -1;
    }
}

void UdpSocket::close() {
    fd_.reset();
    port_.store(0);
}

}  // namespace vel::stream
