#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vel {

// Who a child runs as when the parent is root and hands it to an ordinary user.
struct ChildUser {
    uid_t uid = 0;
    gid_t gid = 0;
};

// A long-running child: program, arguments, its whole environment, and the text it reads on
// standard input.
struct ChildLaunch {
    std::vector<std::string> argv;         // argv[0] is a full path; no PATH lookup
    std::vector<std::string> environment;  // "NAME=value", nothing inherited
    std::string workingDirectory;          // empty: the parent's
    std::optional<ChildUser> user;         // run as this user instead of the parent's
    std::string input;                     // written to the stdin pipe in one go, then closed
};

// A started child, owned until it has been reaped.
class RunningChild {
  public:
    virtual ~RunningChild() = default;
    virtual pid_t pid() const = 0;
    // Becomes readable (POLLIN) once the child has ended; valid while this object lives.
    virtual int endedFd() const = 0;
    // Collects the child when it has ended: true with its exit status (128 + signal number for a
    // child ended by a signal); false while it still runs.
    [[nodiscard]] virtual bool reap(int& exitStatus) = 0;
    // Ends the child: SIGTERM, then SIGKILL when it has not gone within graceMs; then reaps it.
    virtual void terminate(int graceMs) = 0;
};

// Starts children; tests substitute their own.
class ChildSpawner {
  public:
    virtual ~ChildSpawner() = default;
    // Null with a "<step> failed: ..." text when the child could not be started or did not take
    // all of its input (a child that started is then killed and reaped first).
    virtual std::unique_ptr<RunningChild> spawn(ChildLaunch launch, std::string& error) = 0;
};

// posix_spawn with a pipe on standard input, standard output and error on /dev/null, a session
// of its own, default signal dispositions and an empty mask; pidfds for waiting and signals.
// A child user is applied through setpriv(1) (util-linux), which execs the program in place, so
// the process id stays the child's.
ChildSpawner& SystemChildSpawner();

}  // namespace vel
