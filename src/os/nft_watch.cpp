#include "os/nft_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include "os/log.h"
#include "os/spawn_attributes.h"
#include "os/system_error.h"
#include "os/unique_fd.h"

extern char** environ;

namespace vel {

namespace {

// How long a monitor that ended waits before it is started again.
constexpr int kRestartDelayMs = 1000;

class NftMonitor final : public NftWatch {
  public:
    NftMonitor(std::vector<std::string> argv, std::function<void()> changed, UniqueFd stopRead,
               UniqueFd stopWrite)
        : argv_(std::move(argv)),
          changed_(std::move(changed)),
          stopRead_(std::move(stopRead)),
          stopWrite_(std::move(stopWrite)) {}

    ~NftMonitor() override {
        const char byte = 0;
        static_cast<void>(::write(stopWrite_.get(), &byte, 1));
        if (thread_.joinable()) thread_.join();
    }

    [[nodiscard]] bool spawn(std::string& error) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            error = FailedText("pipe2", errno);
            return false;
        }
        UniqueFd readEnd(fds[0]);
        UniqueFd writeEnd(fds[1]);
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<char*> args;
        for (std::string& arg : argv_) args.push_back(arg.data());
        args.push_back(nullptr);
        const DefaultSignalSpawnAttributes attributes;
        const int rc =
            ::posix_spawnp(&pid_, args[0], &actions, attributes.get(), args.data(), environ);
        ::posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            error = FailedText("posix_spawn(" + argv_[0] + ")", rc);
            return false;
        }
        output_ = std::move(readEnd);
        return true;
    }

    void run() {
        thread_ = std::thread([this] { loop(); });
    }

  private:
    // Returns false when asked to stop.
    bool readUntilEnd() {
        char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{output_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return true;
            }
            if (fds[1].revents != 0) return false;
            const ssize_t n = ::read(output_.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return true;
            changed_();
        }
    }

    void reap(bool terminate) {
        if (pid_ <= 0) return;
        if (terminate) ::kill(pid_, SIGTERM);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        output_.reset();
    }

    void loop() {
        for (;;) {
            const bool ended = readUntilEnd();
            reap(!ended);
            if (!ended) return;
            if (!endLogged_) {
                endLogged_ = true;
                Log(LogLevel::Warn, "nft monitor ended; it is restarted every second");
            }
            pollfd stop = {stopRead_.get(), POLLIN, 0};
            if (::poll(&stop, 1, kRestartDelayMs) != 0) return;
            // A change while the monitor was down is caught up with at once.
            changed_();
            std::string error;
            if (!spawn(error)) {
                Log(LogLevel::Warn, "cannot watch the firewall table: %s", error.c_str());
                return;
            }
        }
    }

    std::vector<std::string> argv_;
    const std::function<void()> changed_;
    UniqueFd stopRead_;
    UniqueFd stopWrite_;
    UniqueFd output_;
    pid_t pid_ = -1;
    bool endLogged_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<NftWatch> StartNftMonitor(std::vector<std::string> argv,
                                          std::function<void()> changed) {
    int fds[2];
    if (argv.empty() || ::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    auto monitor = std::make_unique<NftMonitor>(std::move(argv), std::move(changed),
                                                UniqueFd(fds[0]), UniqueFd(fds[1]));
    std::string error;
    if (!monitor->spawn(error)) {
        Log(LogLevel::Warn, "cannot watch the firewall table: %s", error.c_str());
        return nullptr;
    }
    monitor->run();
    return monitor;
}

}  // namespace vel
