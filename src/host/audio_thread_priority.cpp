#include "host/audio_thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

namespace vel::host {
namespace {

// A nice value that lets the thread preempt ordinary work without real-time scheduling, which a
// bug in a loop could turn into a frozen machine.
constexpr int kAudioNice = -11;

}  // namespace

void raiseAudioThreadPriority() {
    // Linux applies a nice value per thread when given the thread's id.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kAudioNice);
}

}  // namespace vel::host
