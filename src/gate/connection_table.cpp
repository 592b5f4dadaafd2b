#include "gate/connection_table.h"

#include <sys/socket.h>

#include "gate/http_message.h"
#include "net/ip_address.h"

namespace vel::gate {

namespace {

std::string groupOf(const sockaddr* peer) {
    HttpRequest request;
    SetPeerAddress(request, peer);
    return request.peer ? net::clientGroup(*request.peer) : std::string();
}

}  // namespace

bool ConnectionTable::admits(const sockaddr* peer) const {
    const std::string group = groupOf(peer);
    std::lock_guard lock(mutex_);
    const auto it = perClient_.find(group);
    return it == perClient_.end() || it->second < limits_.perClient;
}

const void* ConnectionTable::opened(int fd, const sockaddr* peer, Clock::time_point now) {
    auto entry = std::make_unique<Entry>();
    entry->fd = fd;
    entry->group = groupOf(peer);
    entry->headDue = now + limits_.firstHead;
    const void* handle = entry.get();
    std::lock_guard lock(mutex_);
    // The accept check and this count run apart, and the library's workers accept in parallel,
    // so a burst can pass the check together. The count decides: a connection beyond the share
    // is shut at once, and the library then closes it like one the client dropped.
    if (++perClient_[entry->group] > limits_.perClient && fd >= 0) ::shutdown(fd, SHUT_RDWR);
    connections_.emplace(handle, std::move(entry));
    return handle;
}

void ConnectionTable::headArrived(const void* handle) {
    std::lock_guard lock(mutex_);
    const auto it = connections_.find(handle);
    if (it != connections_.end()) it->second->waitingForHead = false;
}

void ConnectionTable::requestDone(const void* handle, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    const auto it = connections_.find(handle);
    if (it == connections_.end()) return;
    it->second->waitingForHead = true;
    it->second->headDue = now + limits_.nextHead;
}

void ConnectionTable::closed(const void* handle) {
    std::lock_guard lock(mutex_);
    const auto it = connections_.find(handle);
    if (it == connections_.end()) return;
    const auto count = perClient_.find(it->second->group);
    if (count != perClient_.end() && --count->second == 0) perClient_.erase(count);
    connections_.erase(it);
}

std::size_t ConnectionTable::shutOverdue(Clock::time_point now) {
    std::size_t shut = 0;
    std::lock_guard lock(mutex_);
    for (auto& [handle, entry] : connections_) {
        if (!entry->waitingForHead || entry->headDue > now || entry->fd < 0) continue;
        ::shutdown(entry->fd, SHUT_RDWR);
        entry->fd = -1;  // once is enough; the library reports the close
        ++shut;
    }
    return shut;
}

}  // namespace vel::gate
