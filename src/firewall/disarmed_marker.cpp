#include "firewall/disarmed_marker.h"

#include <cerrno>
#include <cstdio>

#include "os/files.h"
#include "os/paths.h"
#include "os/system_error.h"

namespace vel::firewall {

namespace {

constexpr const char* kMarkerText =
    "While this file exists, the Velmora service does not touch the firewall.\n"
    "Delete it and start the service to restore protection:\n"
    "    Velmora.exe arm\n";

}  // namespace

std::string disarmedMarkerPath(const std::string& dataDirectory) {
    return JoinPath(dataDirectory, "disarmed");
}

bool isDisarmed(const std::string& dataDirectory) {
    return FileExists(disarmedMarkerPath(dataDirectory));
}

bool setDisarmed(const std::string& dataDirectory, bool create, std::string& error) {
    const std::string path = disarmedMarkerPath(dataDirectory);
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

}  // namespace vel::firewall
