#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vel::test {

// A program running beside the test, its standard output and error collected in a file that
// can be read while it runs. Killed if still running when the object ends.
class BackgroundProcess {
  public:
    // argv[0] is the program path; extraEnv entries ("NAME=value") add to or replace inherited ones.
    BackgroundProcess(const std::vector<std::string>& argv,
                      const std::vector<std::string>& extraEnv = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Everything written so far.
    std::string output() const;
    // Waits up to timeoutMs for the exit; the exit code, or -1 when it did not exit normally or
    // in time.
    int wait(int timeoutMs);
    // SIGINT (Ctrl+C), then wait.
    int interrupt(int timeoutMs);
    bool running();
    // The process id while it runs, -1 after it has been reaped.
    pid_t pid() const { return pid_; }

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

}  // namespace vel::test
