#pragma once

namespace vel {

// The gate's usage text, one console line per row.
void PrintUsage();

// The usage of the `stream` commands.
void PrintStreamUsage();

}  // namespace vel
