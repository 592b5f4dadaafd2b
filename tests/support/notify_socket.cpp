#include "support/notify_socket.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace vel::test {

NotifySocket::NotifySocket(const std::string& path) : path_(path) {
    fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    if (!fd_ || ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind the notify socket " + path);
    }
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
}

NotifySocket::~NotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::unlink(path_.c_str());
}

std::string NotifySocket::receive(int timeoutMs) {
    pollfd fd{fd_.get(), POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) <= 0) return {};
    char buffer[4096];
    const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace vel::test
