#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vel::gate {

// The server's open connections: how many each client holds (IPv6 clients per /64), and when
// each must have sent its request head. It also counts the requests each client has refused: a
// client that floods the server with refused requests is shut out for a while, so that the
// handshakes and answers it costs cannot take the processor from everyone else. Thread-safe;
// called from every server thread and from the deadline sweep.
class ConnectionTable {
  public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        unsigned perClient = 32;  // a household or office behind one NAT
        // From accept to the end of the first request head, TLS handshake included.
        Clock::duration firstHead = std::chrono::seconds(10);
        // From the end of one request to the end of the next head on the same connection; longer
        // than the idle timeout, so a quiet keep-alive connection is closed by that as before.
        Clock::duration nextHead = std::chrono::seconds(40);
        // More refused requests (4xx) than this within one second start a penalty: no household
        // behind one NAT comes near it by accident.
        unsigned refusedPerSecond = 200;
        Clock::duration penalty = std::chrono::seconds(10);
    };

    explicit ConnectionTable(Limits limits) : limits_(limits) {}

    const Limits& limits() const { return limits_; }

    // False when the peer's client already holds its limit or is in a penalty.
    bool admits(const sockaddr* peer, Clock::time_point now) const;
    // Records a new connection; the handle identifies it to the calls below.
    const void* opened(int fd, const sockaddr* peer, Clock::time_point now);
    void headArrived(const void* handle);
    // Counts an answer with status. True when it starts a penalty for the connection's client:
    // its connections waiting for a request are shut at once, the others when their request ends.
    [[nodiscard]] bool answered(const void* handle, unsigned status, Clock::time_point now);
    void requestDone(const void* handle, Clock::time_point now);
    // Called before the library closes the socket, so the sweep never touches a reused descriptor.
    void closed(const void* handle);
    // Shuts down the socket of every connection whose head is overdue; the library then closes it
    // as it would a connection the client dropped. Returns how many. Also forgets clients without
    // connections whose counts and penalty are over.
    std::size_t shutOverdue(Clock::time_point now);

  private:
    struct Entry {
        int fd = -1;
        std::string group;
        Clock::time_point headDue;
        bool waitingForHead = true;
    };

    struct Client {
        unsigned connections = 0;
        Clock::time_point refusalsSince;
        unsigned refusals = 0;
        Clock::time_point penaltyEnds;
    };

    static void shut(Entry& entry);

    const Limits limits_;
    mutable std::mutex mutex_;
    std::map<std::string, Client> clients_;                      // guarded by mutex_
    std::map<const void*, std::unique_ptr<Entry>> connections_;  // guarded by mutex_
};

}  // namespace vel::gate
