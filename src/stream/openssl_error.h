#pragma once

#include <string>

namespace vel::stream {

// "<step> failed: <OpenSSL's reason>" from the thread's error queue, which it then empties.
std::string openSslFailure(const std::string& step);

}  // namespace vel::stream
