#pragma once

#include <string>
#include <vector>

namespace vel {

struct ChildResult {
    bool started = false;  // false when the program could not be run at all
    int exitCode = -1;     // -1 when it was ended by a signal
    std::string output;    // standard output and standard error, interleaved
};

// Runs a program (argv[0] is looked up in PATH) with an argument vector — never through a shell —
// feeds it `input` on standard input and collects what it prints.
ChildResult RunChild(const std::vector<std::string>& argv, const std::string& input = {});

}  // namespace vel
