#pragma once

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vel::test {

// A private systemd for commands run as child processes: the stand-in systemctl first on PATH,
// a unit directory and unit states of the test's own (see tests/support/systemd/systemctl).
class StandInSystemd {
  public:
    StandInSystemd();
    ~StandInSystemd();  // stops a gate process the stand-in started

    // PATH, VELMORA_SYSTEMD_STATE and VELMORA_SYSTEMD_UNIT_DIR for RunProcess.
    std::vector<std::string> environment() const;

    std::string unitDirectory() const;
    std::string unitPath() const;  // velmora.service in the unit directory
    // Loads another unit (xrdp.service); active and enabled set its starting state.
    void addUnit(const std::string& unit, bool active, bool enabled) const;
    // Sets or clears one of the stand-in's flags for a unit: "start-fails", "stop-hangs",
    // "active", "enabled"; unit "" addresses the whole systemd ("unreachable").
    void setFlag(const std::string& unit, const std::string& flag, bool on) const;
    // The gate's running process id as the stand-in reports it, 0 when none.
    int mainPid() const;
    // Whether systemctl has been run at all.
    bool called() const;
    // What the gate process the stand-in started has printed.
    std::string serviceOutput() const;

  private:
    std::string statePath(const std::string& unit, const std::string& flag) const;
    TempDir root_;
};

}  // namespace vel::test
