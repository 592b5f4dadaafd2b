#pragma once

namespace vel::host {

// Gives the calling audio thread a higher scheduling priority when the process may; silent
// otherwise, since audio still works at normal priority, only with less margin.
void raiseAudioThreadPriority();

}  // namespace vel::host
