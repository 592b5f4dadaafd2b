#pragma once

namespace vel::app {

// `velmora run`: the gate in this console until Ctrl+C.
int CmdRun(int argc, char** argv);

// `velmora --service` once systemd is known to have started the process.
int RunServiceRole();

}  // namespace vel::app
