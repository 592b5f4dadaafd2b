#include "os/child_spawner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cerrno>
#include <csignal>

#include "os/spawn_attributes.h"
#include "os/system_error.h"
#include "os/unique_fd.h"

namespace vel {

namespace {

constexpr const char* kSetpriv = "/usr/bin/setpriv";

int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

void pidfdSignal(int pidfd, int signal) {
    static_cast<void>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

int exitStatusOf(const siginfo_t& info) {
    return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

// Writes all of text in one non-blocking write. A child that is already gone must not end the
// gate with SIGPIPE: the signal is blocked on this thread while writing and one raised
// meanwhile is swallowed, leaving other threads alone.
bool writeAll(int fd, const std::string& text) {
    sigset_t pipeSet, previous;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
    ssize_t written = 0;
    do {
        written = ::write(fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    const timespec noWait{0, 0};
    while (::sigtimedwait(&pipeSet, nullptr, &noWait) == SIGPIPE) {
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written >= 0 && static_cast<std::size_t>(written) == text.size();
}

class SpawnedChild final : public RunningChild {
  public:
    SpawnedChild(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
    ~SpawnedChild() override {
        if (!reaped_) terminate(0);
    }

    pid_t pid() const override { return pid_; }
    int endedFd() const override { return pidfd_.get(); }

    bool reap(int& exitStatus) override {
        if (reaped_) return false;
        siginfo_t info{};
        if (::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED | WNOHANG) != 0 ||
            info.si_pid == 0) {
            return false;
        }
        reaped_ = true;
        exitStatus = exitStatusOf(info);
        return true;
    }

    void terminate(int graceMs) override {
        if (reaped_) return;
        if (graceMs > 0) {
            pidfdSignal(pidfd_.get(), SIGTERM);
            pollfd ended{pidfd_.get(), POLLIN, 0};
            while (::poll(&ended, 1, graceMs) < 0 && errno == EINTR) {
            }
        }
        pidfdSignal(pidfd_.get(), SIGKILL);
        siginfo_t info{};
        while (::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED) != 0 &&
               errno == EINTR) {
        }
        reaped_ = true;
    }

  private:
    pid_t pid_;
    UniqueFd pidfd_;
    bool reaped_ = false;
};

class SpawnActions {
  public:
    SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

std::vector<std::string> commandLine(const ChildLaunch& launch) {
    if (!launch.user) return launch.argv;
    std::vector<std::string> argv = {kSetpriv, "--reuid=" + std::to_string(launch.user->uid),
                                     "--regid=" + std::to_string(launch.user->gid),
                                     "--init-groups", "--"};
    argv.insert(argv.end(), launch.argv.begin(), launch.argv.end());
    return argv;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

class SystemSpawner final : public ChildSpawner {
  public:
    std::unique_ptr<RunningChild> spawn(ChildLaunch launch, std::string& error) override {
        if (launch.argv.empty()) {
            error = "posix_spawn failed: no program";
            return nullptr;
        }
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            error = FailedText("pipe2", errno);
            return nullptr;
        }
        UniqueFd readEnd(ends[0]), writeEnd(ends[1]);

        SpawnActions actions;
        ::posix_spawn_file_actions_adddup2(actions.get(), readEnd.get(), STDIN_FILENO);
        ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        ::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
        ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
        if (!launch.workingDirectory.empty()) {
            ::posix_spawn_file_actions_addchdir_np(actions.get(), launch.workingDirectory.c_str());
        }
        const DefaultSignalSpawnAttributes attributes(true);
        std::vector<std::string> argv = commandLine(launch);
        std::vector<char*> args = pointers(argv);
        std::vector<char*> env = pointers(launch.environment);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, args[0], actions.get(), attributes.get(), args.data(),
                                     env.data());
        readEnd.reset();
        if (rc != 0) {
            error = (launch.user ? std::string("posix_spawn(") + kSetpriv + ") failed: "
                               : std::string("posix_spawn failed: ")) +
                    SystemErrorText(rc);
            return nullptr;
        }
        // The child is ours until we wait for it, so its id cannot be reused before this.
        UniqueFd pidfd(pidfdOpen(pid));
        if (!pidfd) {
            error = FailedText("pidfd_open", errno);
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            return nullptr;
        }
        auto child = std::make_unique<SpawnedChild>(pid, std::move(pidfd));
        // The text fits the pipe; a write that would block is as much a failure as a short one.
        const bool handed = ::fcntl(writeEnd.get(), F_SETFL, O_NONBLOCK) == 0 &&
                            writeAll(writeEnd.get(), launch.input);
        writeEnd.reset();
        OPENSSL_cleanse(launch.input.data(), launch.input.size());
        if (!handed) {
            child->terminate(0);
            error = "could not hand the parameters to the agent";
            return nullptr;
        }
        return child;
    }
};

}  // namespace

ChildSpawner& SystemChildSpawner() {
    static SystemSpawner spawner;
    return spawner;
}

}  // namespace vel
