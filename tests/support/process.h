#pragma once

#include <string>
#include <vector>

namespace vel::test {

struct ProcessResult {
    int exitCode = -1;   // -1 when the child did not exit normally
    std::string output;  // standard output and standard error, interleaved
};

// Runs a program with the given arguments (argv[0] is the program, looked up on PATH as extraEnv
// leaves it), extra environment entries ("NAME=value", added to or replacing the inherited ones)
// and text on standard input.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv = {},
                         const std::string& input = {});

// This process's environment with the extra "NAME=value" entries added or replacing.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra);

// The built velmora binary (from VELMORA_BINARY), or empty when the tests run without it.
std::string VelmoraBinary();

}  // namespace vel::test
