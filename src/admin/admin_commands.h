#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "gate/gate_store.h"
#include "os/paths.h"
#include "os/service_control.h"

namespace vel::admin {

// Receives one console line per call; the entry point passes the console, tests a recorder.
using LineWriter = std::function<void(std::string_view line)>;

// The administration commands. Each receives the whole argument vector (the command word at
// index 1), prints its report and returns the exit code. None of them talks to the running
// service: they work on the same files it uses.
int CmdCode(int argc, char** argv, const LineWriter& out);
int CmdCheckCode(int argc, char** argv, const LineWriter& out);
int CmdKeys(int argc, char** argv, const LineWriter& out);
int CmdRemoveKey(int argc, char** argv, const LineWriter& out);
int CmdGeo(int argc, char** argv, const LineWriter& out);
int CmdGeoipImport(int argc, char** argv, const LineWriter& out);
int CmdStatus(int argc, char** argv, const LineWriter& out, Systemctl& systemctl);
int CmdHarden(int argc, char** argv, const LineWriter& out);
int CmdStop(int argc, char** argv, const LineWriter& out, Systemctl& systemctl);

// Shared by the commands and by diagnostics.

// Prints "ERROR: administrator rights are required." and returns false when not elevated.
[[nodiscard]] bool RequireElevation(const LineWriter& out);
// Loads gate.json from the data directory.
[[nodiscard]] bool LoadGateStore(gate::GateStore& store, std::string& error);
// Compares service-runtime.json with this program's version and build and prints the advice.
void PrintVersionCheck(const LineWriter& out, const std::string& dataDirectory = DataDirectory());
// What gate.json says about an enrollment code kept there by older builds, or "none".
std::string codeInsideGateJson(const std::string& dataDirectory = DataDirectory());
// Option words are compared without regard to case.
bool SameOption(std::string_view typed, std::string_view option);
// The host name up to its first dot; "localhost" when it cannot be read.
std::string ComputerName();

}  // namespace vel::admin
