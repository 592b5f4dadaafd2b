#include "firewall/firewall_worker.h"

#include <unistd.h>

#include <cerrno>
#include <exception>
#include <utility>

#include "os/log.h"
#include "os/system_error.h"
#include "os/thread_priority.h"

namespace vel::firewall {

namespace {

constexpr int kWorkerNice = -5;

// Shared between a waiting caller and its queued task, which may outlive the wait.
struct Completion {
    std::mutex mutex;
    std::condition_variable finished;  // with mutex
    bool done = false;                 // guarded by mutex
    bool abandoned = false;            // guarded by mutex
};

}  // namespace

FirewallWorker::FirewallWorker(FirewallStore& store, NftRunner& nft, Hooks hooks,
                               FirewallWorkerOptions options)
    : store_(store), nft_(nft), hooks_(std::move(hooks)), options_(options) {}

FirewallWorker::~FirewallWorker() {
    stop();
}

bool FirewallWorker::start() {
    std::lock_guard lock(mutex_);
    if (running_) return false;
    running_ = true;
    stopping_ = false;
    worker_ = std::thread([this] { workerLoop(); });
    watchdog_ = std::thread([this] { watchdogLoop(); });
    return true;
}

void FirewallWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!running_ || stopping_) return;
        stopping_ = true;
    }
    workerWake_.notify_all();
    watchdogWake_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
    if (worker_.joinable()) worker_.join();
    std::lock_guard lock(mutex_);
    running_ = false;
    queue_.clear();
}

bool FirewallWorker::runOnFirewallThread(Task task, std::string& error) {
    auto completion = std::make_shared<Completion>();
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !running_) {
            error = "the firewall worker is not running";
            return false;
        }
        queue_.push_back([completion, task = std::move(task)](Firewall& firewall) {
            {
                std::lock_guard lock(completion->mutex);
                if (completion->abandoned) return;
            }
            task(firewall);
            {
                std::lock_guard lock(completion->mutex);
                completion->done = true;
            }
            completion->finished.notify_all();
        });
    }
    workerWake_.notify_one();

    std::unique_lock lock(completion->mutex);
    if (completion->finished.wait_for(lock, options_.responseTimeout,
                                      [&] { return completion->done; })) {
        return true;
    }
    completion->abandoned = true;
    error = "the firewall worker did not respond in time";
    const std::int64_t busySince = busySinceMs_.load();
    if (busySince != 0) {
        error += " (it has been inside one Windows Firewall call for " +
                 std::to_string((options_.clock->steadyMillis() - busySince) / 1000) + "s)";
    }
    return false;
}

void FirewallWorker::postToFirewallThread(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !running_) return;
        queue_.push_back(std::move(task));
    }
    workerWake_.notify_one();
}

void FirewallWorker::runBusy(const Task& task, Firewall& firewall, const char* kind) {
    busySinceMs_ = options_.clock->steadyMillis();
    try {
        task(firewall);
    } catch (const std::exception& e) {
        Log(LogLevel::Error, "firewall %s threw: %s", kind, e.what());
    }
    busySinceMs_ = 0;
}

void FirewallWorker::workerLoop() {
    // What runs here (and the nft it starts) opens the port for a client that has just proved its
    // key; above the request threads, a flood that keeps every one of them busy cannot slow it.
    if (!raiseThreadPriority(kWorkerNice))
        Log(LogLevel::Debug, "the firewall thread keeps its priority: %s",
            SystemErrorText(errno).c_str());
    Firewall firewall(store_, nft_);
    std::string error;
    if (!firewall.connect(error)) {
        Log(LogLevel::Error, "cannot connect to the Windows Firewall: %s", error.c_str());
    }
    std::int64_t lastPass = 0;
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            workerWake_.wait_for(lock, options_.idleWait,
                                 [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty() && stopping_) break;
            if (!queue_.empty()) {
                task = std::move(queue_.front());
                queue_.pop_front();
            }
        }
        if (task) {
            runBusy(task, firewall, "task");
            continue;
        }
        const std::int64_t now = options_.clock->unixNow();
        if (now == lastPass) continue;
        lastPass = now;
        runBusy(hooks_.maintain, firewall, "maintenance");
    }
    hooks_.finish(firewall);
}

void FirewallWorker::watchdogLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (watchdogWake_.wait_for(lock, options_.watchdogPeriod, [this] { return stopping_; })) {
            return;
        }
        const std::int64_t busySince = busySinceMs_.load();
        if (busySince == 0) continue;
        const std::int64_t busyMs = options_.clock->steadyMillis() - busySince;
        if (busyMs < options_.hangLimit.count()) continue;
        Log(LogLevel::Error,
            "the firewall worker has been inside one Windows Firewall call for %llds: nftables "
            "is not answering. No grant can be created or expired in this state, so the gate is "
            "exiting for the service manager to restart it. If this repeats, run 'systemctl "
            "restart nftables', check 'nft list ruleset', or restart the machine.",
            static_cast<long long>(busyMs / 1000));
        // No destructors or exit handlers: they could wait on the very call that hangs.
        ::_exit(kWatchdogExitCode);
    }
}

}  // namespace vel::firewall
