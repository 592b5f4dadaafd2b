#pragma once

#include <string>

namespace vel::gate {

// While the "disarmed" file exists in the data directory the gate leaves the firewall alone; the
// recovery commands create it so that a service that cannot be stopped does not undo them.
std::string disarmedMarkerPath();
// Present when the path exists and is not a directory.
bool isDisarmed();
// create writes the marker; otherwise it is removed, and a missing marker is already removed.
bool setDisarmed(bool create, std::string& error);

}  // namespace vel::gate
