#include "admin/update_apply.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "gate/service_runtime.h"
#include "os/files.h"
#include "os/log.h"
#include "os/paths.h"
#include "os/system_error.h"

namespace vel::admin {

using gate::ReadServiceRuntime;
using gate::ServiceRuntime;

namespace {

void sleepMs(int ms) {
    if (ms > 0) ::usleep(static_cast<useconds_t>(ms) * 1000);
}

// The copy is completed, made executable and only then renamed over the target, so a crash never
// leaves half an executable, or one systemd cannot start, in place.
bool copyExecutable(const std::string& from, const std::string& to, std::string& error) {
    Bytes data;
    if (!ReadFileBytes(from, data)) {
        error = FailedText("reading " + from, errno);
        return false;
    }
    const std::string next = to + ".new";
    if (!WriteFileAtomic(next, data.data(), data.size()) || ::chmod(next.c_str(), 0755) != 0 ||
        std::rename(next.c_str(), to.c_str()) != 0) {
        error = FailedText("writing " + to, errno);
        ::unlink(next.c_str());
        return false;
    }
    return true;
}

// Linux paths are case-sensitive, and one file can have several names: the installer refuses
// whenever both names lead to the same file.
bool sameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
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
    // A failed stop shows in the state that follows.
    static_cast<void>(service.stopService(error));
    std::string state;
    if (service.queryServiceState(state, error) && (state == "running" || state == "stopping")) {
        Log(LogLevel::Warn, "update-apply: the service did not stop cleanly; killing the process");
        static_cast<void>(service.killService(error));
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
    if (sameFile(installed, own)) {
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
    static_cast<void>(service.stopService(error));
    const bool restored = copyWithRetries(backup, installed, options, error);
    bool running = false;
    if (restored && service.startService(error))
        running = service.queryServiceState(state, error) && state == "running";
    Log(LogLevel::Error, "update-apply: rollback %s, old service %s", restored ? "done" : "FAILED",
        running ? "running" : "NOT running");
    options.print("ERROR: the new version did not start; the previous binary was restored.");
    return 1;
}

}  // namespace vel::admin
