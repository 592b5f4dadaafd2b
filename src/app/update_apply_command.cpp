#include "app/update_apply_command.h"

#include "admin/update_apply.h"
#include "core/version.h"
#include "os/console.h"
#include "os/paths.h"
#include "os/privileges.h"

namespace vel::app {

int CmdUpdateApply(int, char**) {
    if (!isElevated()) {
        WriteConsoleLine("ERROR: administrator rights are required.");
        return 1;
    }
    admin::UpdateApplyOptions options;
    options.ownPath = ExecutablePath();
    options.ownVersion = kProgramVersion;
    options.installedPath = admin::InstalledExecutablePath(DataDirectory());
    options.print = [](std::string_view line) { WriteConsoleLine(line); };
    const auto systemctl = MakeSystemctl();
    ServiceControl service(*systemctl);
    return admin::ApplyUpdate(service, options);
}

}  // namespace vel::app
