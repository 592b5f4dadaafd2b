#include "support/stand_in_systemd.h"

#include <signal.h>

#include <cstdlib>
#include <filesystem>

#include "os/files.h"
#include "os/paths.h"
#include "support/process.h"

namespace vel::test {

namespace {

std::string standInBin() {
    return VELMORA_TEST_SUPPORT_DIR "/systemd";
}

}  // namespace

StandInSystemd::StandInSystemd() {
    static_cast<void>(EnsureDirectory(JoinPath(root_.path(), "state")));
    static_cast<void>(EnsureDirectory(JoinPath(root_.path(), "units")));
}

StandInSystemd::~StandInSystemd() {
    const int pid = mainPid();
    if (pid > 0) ::kill(pid, SIGKILL);
}

std::vector<std::string> StandInSystemd::environment() const {
    const char* path = std::getenv("PATH");
    return {"PATH=" + standInBin() + ":" + (path != nullptr ? path : "/usr/bin:/bin"),
            "VELMORA_SYSTEMD_STATE=" + JoinPath(root_.path(), "state"),
            "VELMORA_SYSTEMD_UNIT_DIR=" + unitDirectory()};
}

std::string StandInSystemd::unitDirectory() const {
    return JoinPath(root_.path(), "units");
}

std::string StandInSystemd::unitPath() const {
    return JoinPath(unitDirectory(), "velmora.service");
}

std::string StandInSystemd::statePath(const std::string& unit, const std::string& flag) const {
    const std::string state = JoinPath(root_.path(), "state");
    return unit.empty() ? JoinPath(state, flag) : JoinPath(JoinPath(state, unit), flag);
}

void StandInSystemd::addUnit(const std::string& unit, bool active, bool enabled) const {
    setFlag(unit, "active", active);
    setFlag(unit, "enabled", enabled);
}

void StandInSystemd::setFlag(const std::string& unit, const std::string& flag, bool on) const {
    if (!unit.empty())
        static_cast<void>(EnsureDirectory(JoinPath(JoinPath(root_.path(), "state"), unit)));
    std::error_code ignored;
    if (on) {
        static_cast<void>(WriteFileAtomic(statePath(unit, flag), ""));
    } else {
        std::filesystem::remove(statePath(unit, flag), ignored);
    }
}

int StandInSystemd::mainPid() const {
    const ProcessResult result = RunProcess(
        {standInBin() + "/systemctl", "show", "velmora.service", "--property=MainPID", "--value"},
        environment());
    return result.exitCode == 0 ? std::atoi(result.output.c_str()) : 0;
}

bool StandInSystemd::called() const {
    return FileExists(statePath("", "calls.log"));
}

std::string StandInSystemd::serviceOutput() const {
    std::string text;
    static_cast<void>(ReadFileText(statePath("velmora.service", "out"), text));
    return text;
}

}  // namespace vel::test
