#pragma once

namespace vel::app {

// `velmora unlock`, `velmora arm` and `velmora diag` on this machine's systemd, rule store and
// kernel tables.
int CmdUnlock(int argc, char** argv);
int CmdArm(int argc, char** argv);
int CmdDiag(int argc, char** argv);

}  // namespace vel::app
