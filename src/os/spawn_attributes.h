#pragma once

#include <spawn.h>

namespace vel {

// Spawn attributes that give a child every signal at its default disposition and an empty signal
// mask. The gate blocks its stop signals on every thread; a child that inherited that mask
// would ignore the SIGTERM meant to end it. A child in a session of its own does not get the
// console's Ctrl+C.
class DefaultSignalSpawnAttributes {
  public:
    explicit DefaultSignalSpawnAttributes(bool newSession = false);
    ~DefaultSignalSpawnAttributes();
    DefaultSignalSpawnAttributes(const DefaultSignalSpawnAttributes&) = delete;
    DefaultSignalSpawnAttributes& operator=(const DefaultSignalSpawnAttributes&) = delete;

    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
};

}  // namespace vel
