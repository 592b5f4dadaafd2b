#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "core/time.h"
#include "gate/agent_launch.h"
#include "gate/single_use_tokens.h"
#include "gate/stream_open_request.h"
#include "gate/stream_rules.h"
#include "os/child_spawner.h"
#include "os/graphical_session.h"
#include "os/unique_fd.h"
#include "stream/host_candidates.h"

namespace vel::gate {

// What the launcher reads of the gate's configuration, afresh for every stream.
struct StreamSettings {
    bool enabled = true;
    std::uint16_t basePort = 7441;
    std::string voiceDevice;  // where the viewer's microphone plays
};

struct StreamOpenResult {
    Bytes ticket;   // 32 bytes
    Bytes hostKey;  // 65-byte uncompressed P-256 point
    std::uint32_t connId = 0;
    std::uint16_t port = 0;
    pid_t agentPid = 0;
    std::vector<std::string> hostCandidates;  // endpoint texts
};

// The platform pieces the launcher stands on; tests substitute fakes.
struct StreamLauncherSeams {
    ChildSpawner* spawner = &SystemChildSpawner();
    SessionLocator* sessions = &SystemSessionLocator();
    // Null: the machine's own interfaces.
    stream::InterfaceAddresses* interfaces = nullptr;
    std::function<GateEnvironment()> environment = &GateEnvironment::current;
    const Clock* clock = &SystemClock();
};

// Streams through the gate: the single-use stream tokens, key agreement on the host's behalf, one
// UDP rule per viewer, the agent `<executable> stream serve` with its launch parameters on a pipe,
// and the watcher thread that reaps agents and removes their rules. At most four streams run at
// once, each on a port of its own from the base port up.
class StreamLauncher {
  public:
    static constexpr std::size_t kMaxStreams = 4;
    // How long a stopping agent has to leave on its own before it is killed.
    static constexpr int kStopGraceMs = 2000;

    StreamLauncher(std::function<StreamSettings()> settings, StreamRules& rules,
                   std::string executable, StreamLauncherSeams seams = {});
    ~StreamLauncher();
    StreamLauncher(const StreamLauncher&) = delete;
    StreamLauncher& operator=(const StreamLauncher&) = delete;

    // Starts the watcher thread; a second call does nothing. False when its wake-up descriptor
    // cannot be made.
    [[nodiscard]] bool start(std::string& error);
    // Stops the watcher, then ends every agent and removes its rule.
    void stopAllStreams();

    // Streaming is on and an agent could be started now (the executable is there and the
    // launcher is running).
    bool available() const;

    Bytes issueStreamToken(const std::string& sourceAddress);
    [[nodiscard]] bool consumeStreamToken(std::string_view tokenText,
                                          const std::string& sourceAddress);

    // False with an API error code and message.
    [[nodiscard]] bool startStream(const StreamOpenRequest& request, StreamOpenResult& result,
                                   std::string& code, std::string& message);

    std::size_t runningStreams();

  private:
    struct Stream {
        std::unique_ptr<RunningChild> agent;
        std::string ruleName;
        std::string sourceAddress;
        std::int64_t startedAt = 0;
        std::uint32_t connId = 0;
        std::uint16_t port = 0;
    };

    // A port no running or starting stream holds; 0 when all are taken.
    std::uint16_t reservePort(std::uint16_t basePort);
    void releasePort(std::uint16_t port);
    void wake();
    void watch();
    // Reaps the agents that have ended; true when any had.
    void reapEnded();

    const std::function<StreamSettings()> settings_;
    StreamRules& rules_;
    const std::string executable_;
    const StreamLauncherSeams seams_;
    SingleUseTokens tokens_;

    mutable std::mutex mutex_;
    std::vector<Stream> streams_;          // guarded by mutex_
    std::vector<std::uint16_t> reserved_;  // guarded by mutex_; ports of streams being started
    bool running_ = false;                 // guarded by mutex_
    bool stopping_ = false;                // guarded by mutex_
    UniqueFd wakeFd_;                      // eventfd: a stream was added, or stop
    std::thread watcher_;
};

}  // namespace vel::gate
