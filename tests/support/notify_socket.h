#pragma once

#include <string>

#include "os/unique_fd.h"

namespace vel::test {

// A datagram socket standing in for systemd's notify socket; NOTIFY_SOCKET names it while the
// object lives.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    const std::string& path() const { return path_; }
    // The next message, or empty after timeoutMs without one.
    std::string receive(int timeoutMs);

private:
    std::string path_;
    UniqueFd fd_;
};

}  // namespace vel::test
