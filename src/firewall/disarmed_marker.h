#pragma once

#include <string>

namespace vel::firewall {

// The "disarmed" file in the data directory: while it exists the service leaves the firewall
// alone. Only its existence matters; a path that exists and is not a directory counts.
std::string disarmedMarkerPath(const std::string& dataDirectory);
bool isDisarmed(const std::string& dataDirectory);
// create writes the marker; otherwise removes it when present (a missing file is success).
[[nodiscard]] bool setDisarmed(const std::string& dataDirectory, bool create, std::string& error);

}  // namespace vel::firewall
