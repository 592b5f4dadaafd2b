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

constexpr auto kRefusalWindow = std::chrono::seconds(1);

}  // namespace

void ConnectionTable::shut(Entry& entry) {
    if (entry.fd < 0) return;
    ::shutdown(entry.fd, SHUT_RDWR);
    entry.fd = -1;  // once is enough; the library reports the close
}

bool ConnectionTable::admits(const sockaddr* peer, Clock::time_point now) const {
    const std::string group = groupOf(peer);
    std::lock_guard lock(mutex_);
    const auto it = clients_.find(group);
    if (it == clients_.end()) return true;
    return now >= it->second.penaltyEnds && it->second.connections < limits_.perClient;
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
    // is shut at once, and the library then closes it like one the client dropped. So is one
    // that passed the check just before its client's penalty began.
    Client& client = clients_[entry->group];
    if (++client.connections > limits_.perClient || now < client.penaltyEnds) shut(*entry);
    connections_.emplace(handle, std::move(entry));
    return handle;
}

bool ConnectionTable::answered(const void* handle, unsigned status, Clock::time_point now) {
    // Every 4xx counts, the rate limiter's 429 too: a flood of those costs as much as any other.
    if (status < 400 || status >= 500) return false;
    std::lock_guard lock(mutex_);
    const auto it = connections_.find(handle);
    if (it == connections_.end()) return false;
    const std::string& group = it->second->group;
    Client& client = clients_[group];
    if (now < client.penaltyEnds) return false;
    if (client.refusals == 0 || now - client.refusalsSince >= kRefusalWindow) {
        client.refusalsSince = now;
        client.refusals = 0;
    }
    if (++client.refusals <= limits_.refusedPerSecond) return false;
    client.refusals = 0;
    client.penaltyEnds = now + limits_.penalty;
    for (auto& [other, entry] : connections_) {
        if (entry->group == group && entry->waitingForHead) shut(*entry);
    }
    return true;
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
    Entry& entry = *it->second;
    entry.waitingForHead = true;
    entry.headDue = now + limits_.nextHead;
    const auto client = clients_.find(entry.group);
    if (client != clients_.end() && now < client->second.penaltyEnds) shut(entry);
}

void ConnectionTable::closed(const void* handle) {
    std::lock_guard lock(mutex_);
    const auto it = connections_.find(handle);
    if (it == connections_.end()) return;
    const auto client = clients_.find(it->second->group);
    if (client != clients_.end() && client->second.connections != 0) --client->second.connections;
    connections_.erase(it);
}

std::size_t ConnectionTable::shutOverdue(Clock::time_point now) {
    std::size_t overdue = 0;
    std::lock_guard lock(mutex_);
    for (auto& [handle, entry] : connections_) {
        if (!entry->waitingForHead || entry->headDue > now || entry->fd < 0) continue;
        shut(*entry);
        ++overdue;
    }
    std::erase_if(clients_, [now](const auto& item) {
        const Client& client = item.second;
        return client.connections == 0 && now >= client.penaltyEnds &&
               now - client.refusalsSince >= kRefusalWindow;
    });
    return overdue;
}

}  // namespace vel::gate
