#pragma once

namespace vel {

// Administrator rights: the effective user is root.
bool isElevated();

}  // namespace vel
