#pragma once

namespace vel::app {

// `velmora update-apply`: installs this build over the installed service.
int CmdUpdateApply(int argc, char** argv);

}  // namespace vel::app
