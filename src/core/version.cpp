#include "core/version.h"

namespace vel {

const char* const kBuildId = __DATE__ " " __TIME__;

}  // namespace vel
