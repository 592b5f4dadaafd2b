#pragma once

namespace vel {

// Administrator rights: the effective user is root.
bool isElevated();

// The service identity (LocalSystem on Windows): also root here.
bool isLocalSystem();

}  // namespace vel
