#include "os/privileges.h"

#include <unistd.h>

namespace vel {

bool isElevated() {
    return ::geteuid() == 0;
}

}  // namespace vel
