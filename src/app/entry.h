#pragma once

namespace vel::app {

// The whole program: picks the one role this process plays and returns its exit code.
int RunVelmora(int argc, char** argv);

// Whole-word command comparison: same length, ASCII case ignored ("STATUS" matches, "stat" does not).
bool SameCommand(const char* typed, const char* command);

}  // namespace vel::app
