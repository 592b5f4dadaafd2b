#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "os/service_control.h"

namespace vel::admin {

inline constexpr const char* kDefaultInstalledPath = "/opt/velmora/velmora";

// The installed executable: the one the service last ran from, else the default location.
std::string InstalledExecutablePath(const std::string& dataDirectory);

struct UpdateApplyOptions {
    std::string ownPath;  // the staged build that is running
    std::string ownVersion;
    std::string installedPath;  // replaced; its backup is installedPath + ".bak"
    int settleMs = 2000;        // lets the service that started the installer finish its answer
    int verifyMs = 3000;        // how long the new build must stay up
    int retryMs = 500;
    int attempts = 20;
    std::function<void(std::string_view)> print;
};

// Replaces the installed executable with ownPath while the service is stopped, restarts it and
// rolls back when the new build does not stay running. Returns the exit code.
int ApplyUpdate(ServiceControl& service, const UpdateApplyOptions& options);

}  // namespace vel::admin
