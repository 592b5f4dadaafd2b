#pragma once

namespace vel::stream {

// Raises the calling thread's scheduling priority where the process is permitted to (the
// agent runs as root); otherwise leaves it as it is. Latency-critical threads call it once.
void raiseThreadPriority();

}  // namespace vel::stream
