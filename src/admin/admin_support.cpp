#include <strings.h>
#include <unistd.h>

#include <climits>

#include "admin/admin_commands.h"
#include "core/time.h"
#include "core/version.h"
#include "gate/service_runtime.h"
#include "os/paths.h"
#include "os/privileges.h"

namespace vel::admin {

using gate::GateStore;
using gate::kServiceRuntimeFile;
using gate::ReadServiceRuntime;
using gate::ServiceRuntime;

bool RequireElevation(const LineWriter& out) {
    if (isElevated()) return true;
    out("ERROR: administrator rights are required.");
    return false;
}

bool LoadGateStore(GateStore& store, std::string& error) {
    return store.load(JoinPath(DataDirectory(), "gate.json"), error);
}

bool SameOption(std::string_view typed, std::string_view option) {
    return typed.size() == option.size() &&
           ::strncasecmp(typed.data(), option.data(), option.size()) == 0;
}

std::string ComputerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    const std::string host(name);
    return host.substr(0, host.find('.'));
}

namespace {

void printUpdateAdvice(const LineWriter& out) {
    out("  [LIKELY CAUSE] The service is running an OLD build:");
    out("  it looks for the code in a different place and cannot see it.");
    out("  Update and restart:");
    out("      cp -f " + ExecutablePath() + " /opt/velmora/velmora && systemctl restart velmora");
}

void printLogAdvice(const LineWriter& out, const std::string& directory) {
    out("      tail -n 6 " + JoinPath(directory, "gate.log"));
}

}  // namespace

void PrintVersionCheck(const LineWriter& out, const std::string& directory) {
    out(std::string("  This program's version: ") + kProgramVersion + " (" + kBuildId + ")");
    if (!FileExists(JoinPath(directory, kServiceRuntimeFile))) {
        out("  Service version:        unknown — it has never been started");
        out("                          from this build.");
        printUpdateAdvice(out);
        return;
    }
    ServiceRuntime runtime;
    if (!ReadServiceRuntime(directory, runtime)) {
        out("  Service version:        state file is unreadable");
        return;
    }
    out("  Service version:        " + runtime.version + " (" + runtime.build + ")");
    out("  Started from:           " + runtime.executable);
    out("  Start time:             " + FormatLocalTime(runtime.startedAt));
    if (runtime.version != kProgramVersion) {
        out("  [CAUSE FOUND] The versions are DIFFERENT.");
        out("  The service is running another build and looks for the code elsewhere.");
        printUpdateAdvice(out);
    } else if (runtime.build == kBuildId) {
        out("  Versions match. If the code is still rejected —");
        out("  see the exact reason in the log:");
        printLogAdvice(out, directory);
    } else {
        out("  Same version, only the build time differs — the code should");
        out("  be accepted. If it is rejected, the reason is in the log:");
        printLogAdvice(out, directory);
    }
}

}  // namespace vel::admin
