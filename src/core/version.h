#pragma once

namespace vel {

// Set by the build (VELMORA_VERSION); 1.18.1 unless a build asks for another.
inline constexpr const char* kProgramVersion = VELMORA_VERSION;

// The compile date and time of this build, "Mon DD YYYY hh:mm:ss".
extern const char* const kBuildId;

}  // namespace vel
