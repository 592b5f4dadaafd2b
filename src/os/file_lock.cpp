#include "os/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "os/system_error.h"

namespace vel {

bool FileLock::acquire(const std::string& path, LockMode mode, std::string& error) {
    if (!fd_) {
        fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!fd_) {
            error = FailedText("open(" + path + ")", errno);
            return false;
        }
    }
    const int operation = mode == LockMode::Shared ? LOCK_SH : LOCK_EX;
    while (::flock(fd_.get(), operation) != 0) {
        if (errno != EINTR) {
            error = FailedText("flock(" + path + ")", errno);
            return false;
        }
    }
    return true;
}

}  // namespace vel
