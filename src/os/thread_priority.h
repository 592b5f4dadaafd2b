#pragma once

#include <string>

namespace vel {

// Raises the calling thread's scheduling priority for a media task ("Games" for video and the
// session, "Pro Audio" for audio), best effort: false when the process may not (it needs
// CAP_SYS_NICE or a suitable RLIMIT_NICE). True at once when the thread already did it.
[[nodiscard]] bool enterMmcss(const std::string& task);
// Puts the thread's priority back to what it was before enterMmcss.
void leaveMmcss();

// Gives the calling thread, and the children it starts from then on, the nice value niceValue
// when that is higher priority than its own; best effort, false when the process may not.
[[nodiscard]] bool raiseThreadPriority(int niceValue);

}  // namespace vel
