#include "stream/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

namespace vel::stream {

void raiseThreadPriority() {
    // On Linux a nice value belongs to the thread named by its id. Without CAP_SYS_NICE this
    // fails and the thread keeps the default priority, which is still correct, only less prompt.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), -10);
}

}  // namespace vel::stream
