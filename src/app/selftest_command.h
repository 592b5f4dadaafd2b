#pragma once

namespace vel::app {

// `velmora selftest`: the gate's parsing and signature checks on this machine. Needs no
// administrator rights and leaves the installed gate's files alone.
int CmdGateSelftest(int argc, char** argv);

}  // namespace vel::app
