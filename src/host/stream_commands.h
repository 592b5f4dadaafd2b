#pragma once

namespace vel::host {

// `stream <subcommand> ...` with argv as the process got it (argv[2] is the subcommand); the
// process exit status. Prints the usage through printUsage for a missing or unknown subcommand.
int runStreamCommand(int argc, char** argv, void (*printUsage)());

// The subcommands; options start at argv[3].
int CmdSelftest(int argc, char** argv);
int CmdEncoders(int argc, char** argv);
int CmdAudioDevices();
int CmdDevSession(int argc, char** argv, bool listen);
// `stream serve`: the launch parameters on standard input, one session, then exit.
int serveCommand();

}  // namespace vel::host
