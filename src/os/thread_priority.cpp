#include "os/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace vel {
namespace {

thread_local bool raised = false;
thread_local int previousNice = 0;

}  // namespace

bool enterMmcss(const std::string& task) {
    if (raised) return true;
    const id_t thread = static_cast<id_t>(::gettid());
    errno = 0;
    const int before = ::getpriority(PRIO_PROCESS, thread);
    if (before == -1 && errno != 0) return false;
    // Audio glitches are heard before a late video frame is seen.
    const int wanted = task == "Pro Audio" ? -15 : -10;
    if (wanted >= before) return true;  // already at least that high
    if (::setpriority(PRIO_PROCESS, thread, wanted) != 0) return false;
    previousNice = before;
    raised = true;
    return true;
}

void leaveMmcss() {
    if (!raised) return;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), previousNice);
    raised = false;
}

bool raiseThreadPriority(int niceValue) {
    const id_t thread = static_cast<id_t>(::gettid());
    errno = 0;
    const int before = ::getpriority(PRIO_PROCESS, thread);
    if (before == -1 && errno != 0) return false;
    return niceValue >= before || ::setpriority(PRIO_PROCESS, thread, niceValue) == 0;
}

}  // namespace vel
