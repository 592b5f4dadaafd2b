#pragma once

#include <span>

namespace vel::app {

// A gate command: its word and its handler, which receives the whole argument vector (the
// command word at index 1) and returns the exit code.
struct Command {
    const char* name;
    int (*handler)(int argc, char** argv);
};

// The gate commands in the order they are compared.
std::span<const Command> CommandTable();

// What a bare `velmora` runs after the usage text.
int RunDefaultCommand();

}  // namespace vel::app
