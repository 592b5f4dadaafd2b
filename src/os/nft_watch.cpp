#include "os/nft_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "os/log.h"
#include "os/paths.h"
#include "os/system_error.h"
#include "os/unique_fd.h"

extern char** environ;

namespace vel {

namespace {

// How long a monitor that ended waits before it is started again.
constexpr int kRestartDelayMs = 1000;

// The program a name stands for, looked up on PATH as execvp would; empty when there is none.
std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = directories.find(':', start);
        std::string directory = directories.substr(start, end - start);
        const std::string candidate = JoinPath(directory.empty() ? "." : directory, name);
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos) return {};
        start = end + 1;
    }
}

class NftMonitor final : public NftWatch {
  public:
    NftMonitor(std::string program, std::vector<std::string> argv, std::function<void()> changed,
               UniqueFd stopRead, UniqueFd stopWrite)
        : program_(std::move(program)),
          argv_(std::move(argv)),
          changed_(std::move(changed)),
          stopRead_(std::move(stopRead)),
          stopWrite_(std::move(stopWrite)) {}

    ~NftMonitor() override {
        const char byte = 0;
        static_cast<void>(::write(stopWrite_.get(), &byte, 1));
        if (thread_.joinable()) thread_.join();
    }

    void run() {
        thread_ = std::thread([this] { loop(); });
    }

  private:
    // Started from the monitor's own thread with a parent-death signal: a gate that is killed
    // outright (SIGKILL, the watchdog's _exit) takes its monitor with it. posix_spawn cannot ask
    // for that, so this is fork and exec, with only async-signal-safe calls in between.
    [[nodiscard]] bool spawn(std::string& error) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            error = FailedText("pipe2", errno);
            return false;
        }
        UniqueFd readEnd(fds[0]);
        UniqueFd writeEnd(fds[1]);
        UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
        if (!devNull) {
            error = FailedText("open(/dev/null)", errno);
            return false;
        }
        std::vector<char*> args;
        for (std::string& arg : argv_) args.push_back(arg.data());
        args.push_back(nullptr);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0) {
            error = FailedText("fork", errno);
            return false;
        }
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(0);
            ::dup2(devNull.get(), STDIN_FILENO);
            ::dup2(writeEnd.get(), STDOUT_FILENO);
            ::dup2(devNull.get(), STDERR_FILENO);
            struct sigaction defaults {};
            defaults.sa_handler = SIG_DFL;
            for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
            sigset_t none;
            ::sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execve(program_.c_str(), args.data(), environ);
            ::_exit(127);
        }
        pid_ = pid;
        output_ = std::move(readEnd);
        return true;
    }

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
        std::string error;
        if (!spawn(error)) {
            Log(LogLevel::Warn, "cannot watch the firewall table: %s", error.c_str());
            return;
        }
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

    const std::string program_;
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
    if (argv.empty()) return nullptr;
    std::string program = findProgram(argv[0]);
    if (program.empty()) {
        Log(LogLevel::Warn, "cannot watch the firewall table: %s was not found",
            argv[0].c_str());
        return nullptr;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    auto monitor = std::make_unique<NftMonitor>(std::move(program), std::move(argv),
                                                std::move(changed), UniqueFd(fds[0]),
                                                UniqueFd(fds[1]));
    monitor->run();
    return monitor;
}

}  // namespace vel
