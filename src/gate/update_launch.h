#pragma once

#include <string>

namespace vel::gate {

// Starts `<stagedPath> update-apply` in a session and process group of its own, with no descriptor
// of the service, so that it survives the service being stopped.
bool LaunchUpdateApply(const std::string& stagedPath, std::string& error);

}  // namespace vel::gate
