#pragma once

#include <signal.h>

#include <functional>
#include <thread>

#include "os/unique_fd.h"

namespace vel {

// Turns SIGINT, SIGTERM and SIGHUP into one call of onStop on a thread of its own. Construct it
// before starting other threads: the signals are blocked in the constructing thread, and threads
// started later inherit that, so no thread is interrupted by them.
class StopSignals {
  public:
    explicit StopSignals(std::function<void()> onStop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    void watch();

    std::function<void()> onStop_;
    sigset_t previousMask_;
    UniqueFd signals_;
    UniqueFd wake_;
    std::thread thread_;
};

}  // namespace vel
