#include "os/spawn_attributes.h"

#include <csignal>

namespace vel {

DefaultSignalSpawnAttributes::DefaultSignalSpawnAttributes() {
    ::posix_spawnattr_init(&attributes_);
    ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    sigset_t all;
    ::sigfillset(&all);
    ::posix_spawnattr_setsigdefault(&attributes_, &all);
    sigset_t none;
    ::sigemptyset(&none);
    ::posix_spawnattr_setsigmask(&attributes_, &none);
}

DefaultSignalSpawnAttributes::~DefaultSignalSpawnAttributes() {
    ::posix_spawnattr_destroy(&attributes_);
}

}  // namespace vel
