#pragma once

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
        // No unit has a process of its own here.
        if (args.back() == "--value") return {true, 0, "0\n"};
        const std::string& name = verb == "show" ? args[1] : args.back();
        auto found = units.find(name);
        if (found == units.end()) {
            if (verb == "show")
                return {true, 0, "LoadState=not-found\nActiveState=inactive\nMainPID=0\n"};
            return {true, 5, "Unit " + name + " not found.\n"};
        }
        Unit& unit = found->second;
        if (verb == "show")
            return {true, 0, "LoadState=loaded\nActiveState=" + unit.active + "\nMainPID=0\n"};
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
};

}  // namespace vel::test
