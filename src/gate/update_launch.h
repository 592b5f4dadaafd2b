#pragma once

#include <string>

namespace vel::gate {

// Starts `<stagedPath> update-apply` so that it survives the service being stopped: under systemd
// as a transient unit of its own, otherwise in a session and process group of its own; either way
// with no descriptor of the service.
[[nodiscard]] bool LaunchUpdateApply(const std::string& stagedPath, std::string& error);

}  // namespace vel::gate
