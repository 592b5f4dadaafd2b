#pragma once

#include <string_view>

namespace vel {

// Sends one state message ("READY=1", "STOPPING=1", ...) to systemd over $NOTIFY_SOCKET.
// Returns false when there is no socket to talk to or the message could not be sent.
[[nodiscard]] bool NotifySystemd(std::string_view state);

}  // namespace vel
