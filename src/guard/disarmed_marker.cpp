#include "guard/disarmed_marker.h"

#include <cerrno>
#include <cstdio>

#include "core/files.h"
#include "core/paths.h"
#include "core/system_error.h"

namespace vel::gate {

namespace {

constexpr const char* kMarkerText =
    "While this file exists, the Velmora service does not touch the firewall.\n"
    "Delete it and start the service to restore protection:\n"
    "    Velmora.exe arm\n";

}  // namespace

std::string disarmedMarkerPath() {
    return JoinPath(DataDirectory(), "disarmed");
}

bool isDisarmed() {
    return FileExists(disarmedMarkerPath());
}

bool setDisarmed(bool create, std::string& error) {
    const std::string path = disarmedMarkerPath();
    if (create) {
        errno = 0;
        if (WriteFileAtomic(path, kMarkerText)) return true;
        error = "failed to create " + path + ": " + SystemErrorText(errno);
        return false;
    }
    if (std::remove(path.c_str()) == 0 || errno == ENOENT) return true;
    error = "failed to delete " + path + ": " + SystemErrorText(errno);
    return false;
}

}  // namespace vel::gate
