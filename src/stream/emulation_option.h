#pragma once

#include <string>

#include "stream/network_emulation.h"

namespace vel::stream {

// Parses the testing option "--emulate loss=P,delay=MS,jitter=MS,rate=BPS,seed=N" that both the
// host's development commands and the viewer take: loss in percent (0..100, decimals allowed),
// delay and jitter in whole milliseconds (0..10000), rate in bits per second (0..10^12), any
// subset in any order. On a malformed text returns false with the reason and leaves out alone.
[[nodiscard]] bool parseEmulation(const std::string& text, NetworkEmulation& out,
                                  std::string& error);

}  // namespace vel::stream
