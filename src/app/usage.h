#pragma once

namespace vel::app {

// The gate's usage text, one console line per row.
void PrintUsage();

// The usage of the `stream` commands.
void PrintStreamUsage();

}  // namespace vel::app
