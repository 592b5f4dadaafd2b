#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "core/time.h"
#include "firewall/firewall.h"

namespace vel::firewall {

// The watchdog's exit status: the service manager restarts a process that ends with it. Only the
// low eight bits of an exit code reach the parent on Linux.
inline constexpr int kWatchdogExitCode = 1460 & 0xFF;

// The worker's clock and waits. The defaults are the production values.
struct FirewallWorkerOptions {
    // Wall clock paces maintenance; the steady clock times the call in progress.
    const Clock* clock = &SystemClock();
    // How long a caller waits for the worker before giving up on its task.
    std::chrono::milliseconds responseTimeout{20'000};
    // How long one firewall call may run before the watchdog ends the process.
    std::chrono::milliseconds hangLimit{90'000};
    std::chrono::milliseconds watchdogPeriod{5'000};
    // How long the idle worker waits for a task before it runs a maintenance pass.
    std::chrono::milliseconds idleWait{2'000};
};

// The one thread of the service that uses the firewall, with a watchdog that ends the process
// when a single firewall call hangs: a gate that can neither open nor close the port is better
// restarted than left waiting.
class FirewallWorker {
  public:
    using Task = std::function<void(Firewall&)>;

    struct Hooks {
        // Runs when the worker has been idle, at most once per wall-clock second.
        std::function<void(Firewall&)> maintain;
        // Runs on the worker after the last task, before the firewall is released.
        std::function<void(Firewall&)> finish;
    };

    // The worker's Firewall is made from the store and the nft runner on the worker thread.
    FirewallWorker(FirewallStore& store, NftRunner& nft, Hooks hooks,
                   FirewallWorkerOptions options = {});
    ~FirewallWorker();
    FirewallWorker(const FirewallWorker&) = delete;
    FirewallWorker& operator=(const FirewallWorker&) = delete;

    // Starts the worker and the watchdog; false when they are already running.
    [[nodiscard]] bool start();
    // Lets the worker finish what is queued, then joins both threads.
    void stop();

    // Runs the task on the worker and waits for it. A task still queued when the wait ends is
    // never run; one already running finishes, so tasks keep their results in shared state.
    [[nodiscard]] bool runOnFirewallThread(Task task, std::string& error);
    // Queues the task without waiting; dropped when the worker is not running.
    void postToFirewallThread(Task task);

  private:
    void workerLoop();
    void watchdogLoop();
    // kind is "task" or "maintenance", for the log line of an escaping exception.
    void runBusy(const Task& task, Firewall& firewall, const char* kind);

    FirewallStore& store_;
    NftRunner& nft_;
    const Hooks hooks_;
    const FirewallWorkerOptions options_;

    std::mutex mutex_;
    std::condition_variable workerWake_;    // with mutex_
    std::condition_variable watchdogWake_;  // with mutex_
    std::deque<Task> queue_;                // guarded by mutex_
    bool stopping_ = false;                 // guarded by mutex_
    bool running_ = false;                  // guarded by mutex_
    std::thread worker_;
    std::thread watchdog_;
    // Steady-clock milliseconds at which the worker entered its current call; 0 when idle.
    std::atomic<std::int64_t> busySinceMs_{0};
};

}  // namespace vel::firewall
