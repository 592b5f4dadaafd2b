#include "os/spawn_attributes.h"

#include <csignal>

namespace vel {

DefaultSignalSpawnAttributes::DefaultSignalSpawnAttributes(bool newSession) {
    ::posix_spawnattr_init(&attributes_);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (newSession) flags |= POSIX_SPAWN_SETSID;
    ::posix_spawnattr_setflags(&attributes_, flags);
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
