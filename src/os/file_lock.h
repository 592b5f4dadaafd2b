#pragma once

#include <string>

#include "os/unique_fd.h"

namespace vel {

enum class LockMode { Shared, Exclusive };

// An advisory flock on a lock file that sits beside the data it guards, held until this object
// goes away. Readers take it shared and read-modify-write cycles exclusive, so two processes
// never interleave their cycles; the data files themselves are only ever replaced whole.
class FileLock {
  public:
    // Opens (creating it with mode 0600) the lock file on first use and blocks until the lock is
    // held in the given mode. Acquiring again on the same object converts the lock.
    [[nodiscard]] bool acquire(const std::string& path, LockMode mode, std::string& error);

  private:
    UniqueFd fd_;
};

}  // namespace vel
