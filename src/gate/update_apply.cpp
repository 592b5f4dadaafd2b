#include "gate/update_apply.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/files.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/system_error.h"
#include "gate/service_runtime.h"

namespace vel::gate {

namespace {

void sleepMs(int ms) {
    if (ms > 0) ::usleep(static_cast<useconds_t>(ms) * 1000);
}

// Writes a complete new file beside the target and renames it over, so a crash never leaves half
// an executable in place.
bool copyExecutable(const std::string& from, const std::string& to, std::string& error) {
    Bytes data;
    if (!ReadFileBytes(from, data)) {
        error = FailedText("reading " + from, errno);
        return false;
    }
    if (!WriteFileAtomic(to, data.data(), data.size()) || ::chmod(to.c_str(), 0755) != 0) {
        error = FailedText("writing " + to, errno);
        return false;
    }
    return true;
}

bool copyWithRetries(const std::string& from, const std::string& to,
                     const UpdateApplyOptions& options, std::string& error) {
    for (int attempt = 0; attempt < options.attempts; ++attempt) {
        if (attempt > 0) sleepMs(options.retryMs);
        if (copyExecutable(from, to, error)) return true;
    }
    return false;
}

void backUp(const std::string& installed, const std::string& backup) {
    if (!FileExists(installed)) return;
    if (std::rename(installed.c_str(), backup.c_str()) == 0) return;
    std::string error;
    if (!copyExecutable(installed, backup, error))
        Log(LogLevel::Warn, "update-apply: backup copy failed: %s", error.c_str());
}

void stopOrKill(ServiceControl& service) {
    std::string error;
    if (!service.disableRestartOnFailure(error))
        Log(LogLevel::Warn, "update-apply: %s", error.c_str());
    if (!service.stopService(error)) Log(LogLevel::Warn, "update-apply: %s", error.c_str());
    std::string state;
    if (service.queryServiceState(state, error) && (state == "running" || state == "stopping")) {
        Log(LogLevel::Warn, "update-apply: the service did not stop cleanly; killing the process");
        if (!service.killService(error)) Log(LogLevel::Warn, "update-apply: %s", error.c_str());
    }
}

bool restart(ServiceControl& service, std::string& error) {
    std::string ignored;
    if (!service.enableRestartOnFailure(ignored))
        Log(LogLevel::Warn, "update-apply: %s", ignored.c_str());
    return service.startService(error);
}

}  // namespace

std::string InstalledExecutablePath(const std::string& dataDirectory) {
    ServiceRuntime runtime;
    if (ReadServiceRuntime(dataDirectory, runtime) && !runtime.executable.empty())
        return runtime.executable;
    return kDefaultInstalledPath;
}

int ApplyUpdate(ServiceControl& service, const UpdateApplyOptions& options) {
    const std::string& installed = options.installedPath;
    const std::string& own = options.ownPath;
    sleepMs(options.settleMs);
    if (installed == own) {
        Log(LogLevel::Error, "update-apply: refusing to run from the installed path itself (%s)",
            own.c_str());
        options.print("ERROR: update-apply must run from a staged copy, not from " + own);
        return 1;
    }
    Log(LogLevel::Info, "update-apply: installing version %s from %s over %s",
        options.ownVersion.c_str(), own.c_str(), installed.c_str());
    options.print("Updating " + installed + " to version " + options.ownVersion);

    stopOrKill(service);
    const std::string backup = installed + ".bak";
    backUp(installed, backup);

    std::string error;
    if (!copyWithRetries(own, installed, options, error)) {
        Log(LogLevel::Error, "update-apply: could not replace the binary: %s", error.c_str());
        std::string restartError;
        if (!restart(service, restartError)) {
            Log(LogLevel::Error, "update-apply: restart of the old binary also failed: %s",
                restartError.c_str());
        }
        options.print("ERROR: the binary could not be replaced; the old service was restarted.");
        return 1;
    }

    std::string state;
    const bool started = restart(service, error);
    sleepMs(options.verifyMs);
    if (started && service.queryServiceState(state, error) && state == "running") {
        Log(LogLevel::Info, "update-apply: version %s is installed and the service is running",
            options.ownVersion.c_str());
        options.print("Update complete; the service is running version " + options.ownVersion +
                      ".");
        return 0;
    }
    const std::string why = state.empty() ? error : state;
    Log(LogLevel::Error, "update-apply: the new binary did not stay running (%s); rolling back",
        why.c_str());
    service.stopService(error);
    const bool restored = copyWithRetries(backup, installed, options, error);
    bool running = false;
    if (restored && service.startService(error))
        running = service.queryServiceState(state, error) && state == "running";
    Log(LogLevel::Error, "update-apply: rollback %s, old service %s", restored ? "done" : "FAILED",
        running ? "running" : "NOT running");
    options.print("ERROR: the new version did not start; the previous binary was restored.");
    return 1;
}

}  // namespace vel::gate
