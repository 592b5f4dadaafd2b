#include "os/stop_signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "core/error.h"
#include "os/system_error.h"

namespace vel {

namespace {

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

StopSignals::StopSignals(std::function<void()> onStop) : onStop_(std::move(onStop)) {
    const sigset_t set = stopSet();
    ::pthread_sigmask(SIG_BLOCK, &set, &previousMask_);
    signals_.reset(::signalfd(-1, &set, SFD_CLOEXEC));
    wake_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!signals_ || !wake_) throw Error(FailedText("signalfd", errno));
    thread_ = std::thread([this] { watch(); });
}

StopSignals::~StopSignals() {
    const std::uint64_t one = 1;
    const ssize_t ignored = ::write(wake_.get(), &one, sizeof one);
    (void)ignored;
    thread_.join();
    ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void StopSignals::watch() {
    pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        signalfd_siginfo info{};
        if (::read(signals_.get(), &info, sizeof info) == sizeof info) onStop_();
    }
}

}  // namespace vel
