#include "app/update_apply_command.h"

#include "app/console.h"
#include "core/paths.h"
#include "core/privileges.h"
#include "core/version.h"
#include "gate/update_apply.h"

namespace vel {

int CmdUpdateApply(int, char**) {
    if (!isElevated()) {
        WriteConsoleLine("ERROR: administrator rights are required.");
        return 1;
    }
    gate::UpdateApplyOptions options;
    options.ownPath = ExecutablePath();
    options.ownVersion = kProgramVersion;
    options.installedPath = gate::InstalledExecutablePath(DataDirectory());
    options.print = [](std::string_view line) { WriteConsoleLine(line); };
    const auto systemctl = gate::MakeSystemctl();
    gate::ServiceControl service(*systemctl);
    return gate::ApplyUpdate(service, options);
}

}  // namespace vel
