#include "os/nft_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "os/child_process.h"
#include "os/spawn_attributes.h"
#include "os/system_error.h"
#include "os/unique_fd.h"

extern char** environ;

namespace vel {

namespace {

// Enough of nft's complaint to explain a failure in one log line.
constexpr std::size_t kMaxOutput = 4096;

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads to end of file, keeping at most kMaxOutput bytes so the child never blocks on a full pipe.
std::string drain(int fd) {
    std::string out;
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (out.size() < kMaxOutput) out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

std::string firstLine(const std::string& text) {
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return {};
    const std::size_t end = text.find('\n', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

class SpawnFileActions {
  public:
    SpawnFileActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

}  // namespace

NftCommand::NftCommand() : NftCommand({"nft"}) {}

NftCommand::NftCommand(std::vector<std::string> command) : command_(std::move(command)) {}

bool NftCommand::apply(const std::string& script, std::string& error) {
    // The script goes through a memory file rather than a pipe, so a child that writes a long
    // complaint before reading all of its input cannot deadlock against us.
    UniqueFd input(::memfd_create("nft-script", MFD_CLOEXEC));
    if (!input) {
        error = FailedText("memfd_create", errno);
        return false;
    }
    if (!writeAll(input.get(), script) || ::lseek(input.get(), 0, SEEK_SET) != 0) {
        error = FailedText("writing the nft script", errno);
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = FailedText("pipe2", errno);
        return false;
    }
    UniqueFd outputRead(pipeFds[0]);
    UniqueFd outputWrite(pipeFds[1]);

    SpawnFileActions actions;
    ::posix_spawn_file_actions_adddup2(actions.get(), input.get(), STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(actions.get(), outputWrite.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(actions.get(), outputWrite.get(), STDERR_FILENO);
    std::vector<std::string> args = command_;
    args.insert(args.end(), {"-f", "-"});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const DefaultSignalSpawnAttributes attributes;
    const int spawnError =
        ::posix_spawnp(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ);
    if (spawnError != 0) {
        error = FailedText("posix_spawn(" + command_[0] + ")", spawnError);
        return false;
    }
    outputWrite.reset();
    const std::string output = drain(outputRead.get());
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = FailedText("waitpid", errno);
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    std::string reason = firstLine(output);
    if (reason.empty()) {
        reason = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                   : "terminated by signal " + std::to_string(WTERMSIG(status));
    }
    error = "nft failed: " + reason;
    return false;
}

bool NftCommand::listTable(const std::string& family, const std::string& name, std::string& json,
                           std::string& error) {
    std::vector<std::string> args = command_;
    args.insert(args.end(), {"-j", "list", "table", family, name});
    ChildResult result = RunChild(args);
    json.clear();
    if (!result.started) {
        error = "could not run " + command_[0];
        return false;
    }
    if (result.exitCode == 0) {
        json = std::move(result.output);
        return true;
    }
    // nft names a missing table with the kernel's ENOENT text.
    if (result.output.find("No such file or directory") != std::string::npos) return true;
    const std::string reason = firstLine(result.output);
    error = "nft failed: " + (reason.empty() ? "exit status " + std::to_string(result.exitCode)
                                             : reason);
    return false;
}

std::unique_ptr<NftWatch> NftCommand::watch(std::function<void()> changed) {
    std::vector<std::string> args = command_;
    args.push_back("monitor");
    return StartNftMonitor(std::move(args), std::move(changed));
}

}  // namespace vel
