#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vel::test {

// A program left running while the test talks to it; standard output and standard error go to a
// file the test can read at any time. A process still running at destruction is killed.
class BackgroundProcess {
  public:
    BackgroundProcess() = default;
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // argv[0] is the program path; extraEnv as for RunProcess; input is all of standard input.
    [[nodiscard]] bool start(const std::vector<std::string>& argv,
                             const std::vector<std::string>& extraEnv = {},
                             const std::string& input = {});
    std::string output() const;
    // The exit code once the process has ended by itself within the timeout, else -1.
    int waitForExit(std::chrono::milliseconds timeout);
    // SIGINT, then the exit code (-1 when it had to be killed after the timeout).
    int interrupt(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Whether it still runs (reaps it when it has ended).
    bool running() {
        static_cast<void>(waitForExit(std::chrono::milliseconds(0)));
        return pid_ > 0;
    }
    // The process id while it runs, -1 once it has been reaped.
    pid_t pid() const { return pid_; }

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

}  // namespace vel::test
