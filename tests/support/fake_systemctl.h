#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <map>
#include <string>
#include <vector>

#include "os/paths.h"
#include "os/service_control.h"

namespace vel::test {

// Plays systemd for in-process tests: a unit table the test sets, and a log of every call.
class FakeSystemctl : public Systemctl {
  public:
    struct Unit {
        std::string active = "inactive";
        std::string afterStart = "active";  // the state a start leads to
        bool startFails = false;
        bool enabled = false;
        bool stopHangs = false;  // "stop" returns but the unit keeps running
        pid_t mainPid = 0;  // a child of the test, reported as the unit's process while it lives
    };
    std::map<std::string, Unit> units;
    std::vector<std::string> calls;
    bool reachable = true;
    std::string unitDirectory;  // a daemon-reload loads the gate's units whose files are there

    ChildResult run(const std::vector<std::string>& args) override {
        std::string line;
        for (const std::string& a : args) line += (line.empty() ? "" : " ") + a;
        calls.push_back(line);
        if (!reachable)
            return {
                true, 1,
                "System has not been booted with systemd as init system (PID 1). Can't operate.\n"};
        const std::string& verb = args[0];
        if (verb == "daemon-reload") {
            for (const char* name : {"velmora.service", "velmora-firewall.service"}) {
                if (FileExists(unitDirectory + "/" + name)) units.try_emplace(name);
            }
            return {true, 0, ""};
        }
        const bool valueOnly = args.back() == "--value";
        const std::string& name = verb == "show" ? args[1] : args.back();
        auto found = units.find(name);
        if (found == units.end()) {
            if (valueOnly) return {true, 0, "0\n"};
            if (verb == "show")
                return {true, 0, "LoadState=not-found\nActiveState=inactive\nMainPID=0\n"};
            return {true, 5, "Unit " + name + " not found.\n"};
        }
        Unit& unit = found->second;
        reap(unit);
        const std::string pid = std::to_string(unit.mainPid);
        if (valueOnly) return {true, 0, pid + "\n"};
        if (verb == "show")
            return {true, 0,
                    "LoadState=loaded\nActiveState=" + unit.active + "\nMainPID=" + pid + "\n"};
        if (verb == "start") {
            unit.active = unit.startFails ? "failed" : unit.afterStart;
            return {true, unit.startFails ? 1 : 0, unit.startFails ? "Job failed.\n" : ""};
        }
        if (verb == "stop" && !unit.stopHangs) unit.active = "inactive";
        if (verb == "enable") unit.enabled = true;
        if (verb == "disable") unit.enabled = false;
        if (verb == "is-enabled") return {true, unit.enabled ? 0 : 1, ""};
        return {true, 0, ""};
    }

  private:
    // A unit whose process has ended has failed, as systemd sees it.
    static void reap(Unit& unit) {
        if (unit.mainPid <= 0 || ::waitpid(unit.mainPid, nullptr, WNOHANG) == 0) return;
        unit.mainPid = 0;
        unit.active = "failed";
    }
};

}  // namespace vel::test
