#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "os/unique_fd.h"
#include "stream/endpoint.h"

namespace vel::stream {

// One non-blocking dual-stack UDP socket. receive() is called by one thread while others call
// sendTo(); open() and close() only while neither runs.
class UdpSocket {
  public:
    // Largest datagram receive() reads; longer ones arrive truncated and are skipped.
    static constexpr std::size_t kReceiveLimit = 1264;

    // Binds [::]:port (0 = any) with IPv4 mapped in, 8 MiB buffers and DSCP 46.
    [[nodiscard]] bool open(std::uint16_t port, std::string& error);
    // True only when the whole datagram was handed to the kernel.
    bool sendTo(const Endpoint& to, std::span<const std::uint8_t> datagram);
    // Several datagrams to one endpoint, all but the last of the same size, in one system call
    // where the kernel segments them (UDP GSO), else one by one. Returns how many were sent.
    std::size_t sendSegments(const Endpoint& to,
                             std::span<const std::span<const std::uint8_t>> datagrams);
    // The datagram's length (> 0), 0 when nothing arrived within waitMs, -1 on a socket error or
    // a closed socket. `from` is always in IPv6 form.
    int receive(std::span<std::uint8_t> buffer, Endpoint& from, int waitMs);
    void close();
    // The bound port; 0 when closed.
    std::uint16_t port() const { return port_.load(); }

  private:
    UniqueFd fd_;
    std::atomic<std::uint16_t> port_{0};
    std::atomic<bool> segmentation_{true};  // false once the kernel refused UDP_SEGMENT
};

}  // namespace vel::stream
