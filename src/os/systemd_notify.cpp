#include "os/systemd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os/unique_fd.h"

namespace vel {

bool NotifySystemd(std::string_view state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@')) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket name
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);

    UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    return ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<sockaddr*>(&address),
                    size) == static_cast<ssize_t>(state.size());
}

}  // namespace vel
