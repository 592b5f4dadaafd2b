#include "os/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "os/spawn_attributes.h"
#include "os/unique_fd.h"

extern char** environ;

namespace vel {

namespace {

// Feeds the input and drains the output together, so neither side blocks on a full pipe.
void exchange(int inFd, int outFd, const std::string& input, std::string& output) {
    size_t written = 0;
    UniqueFd in(inFd);
    if (input.empty()) in.reset();
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{outFd, POLLIN, 0}, {in.get(), POLLOUT, 0}};
        const nfds_t count = in ? 2 : 1;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (in && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t n = ::write(in.get(), input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < 0 || written == input.size()) in.reset();
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::read(outFd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            output.append(buffer, static_cast<size_t>(n));
        }
    }
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& argv, const std::string& input) {
    ChildResult result;
    if (argv.empty()) return result;
    int out[2];
    int in[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return result;
    UniqueFd outRead(out[0]), outWrite(out[1]);
    if (::pipe2(in, O_CLOEXEC) != 0) return result;
    UniqueFd inRead(in[0]), inWrite(in[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const DefaultSignalSpawnAttributes attributes;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, attributes.get(), args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    outWrite.reset();
    inRead.reset();
    if (rc != 0) return result;
    result.started = true;

    // A child that exits without reading its input must not kill us with SIGPIPE: block it on
    // this thread while writing and swallow one raised meanwhile, leaving other threads alone.
    sigset_t pipeSet, previous;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
    exchange(inWrite.release(), outRead.get(), input, result.output);
    const timespec noWait{0, 0};
    while (::sigtimedwait(&pipeSet, nullptr, &noWait) == SIGPIPE) {
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace vel
