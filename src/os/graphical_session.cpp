#include "os/graphical_session.h"

#include <pwd.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

#include "os/child_process.h"
#include "os/files.h"
#include "os/paths.h"

namespace vel {

namespace {

constexpr const char* kProperties[] = {"Id",   "Name",  "User",   "Display", "Active", "Class",
                                       "Type", "State", "Leader", "Seat",    "Remote"};

std::string property(const SessionProperties& session, const std::string& name) {
    const auto it = session.find(name);
    return it == session.end() ? std::string() : it->second;
}

bool qualifies(const SessionProperties& s) {
    return property(s, "Active") == "yes" && property(s, "Class") == "user" &&
           property(s, "Type") != "wayland" && property(s, "State") != "closing" &&
           !property(s, "Display").empty();
}

std::string leaderEnvironment(const SessionProperties& session) {
    const std::string leader = property(session, "Leader");
    std::string block;
    if (leader.empty() || leader == "0" ||
        !ReadFileText("/proc/" + leader + "/environ", block)) {
        return {};
    }
    return block;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class LoginctlSessions final : public SessionLocator {
  public:
    bool activeGraphicalSession(GraphicalSession& out) override {
        const ChildResult list = RunChild({"loginctl", "list-sessions", "--no-legend"});
        if (!list.started || list.exitCode != 0) return false;
        std::vector<SessionProperties> sessions;
        std::vector<std::string> environments;
        for (const std::string& id : ParseSessionIds(list.output)) {
            std::vector<std::string> argv = {"loginctl", "show-session", id};
            for (const char* name : kProperties) {
                argv.push_back("-p");
                argv.push_back(name);
            }
            const ChildResult shown = RunChild(argv);
            if (!shown.started || shown.exitCode != 0) continue;
            SessionProperties session = ParseSessionProperties(shown.output);
            environments.push_back(leaderEnvironment(session));
            if (property(session, "Display").empty()) {
                session["Display"] = EnvironmentValue(environments.back(), "DISPLAY");
            }
            sessions.push_back(std::move(session));
        }
        const int picked = PickGraphicalSession(sessions);
        if (picked < 0) return false;
        const SessionProperties& session = sessions[static_cast<std::size_t>(picked)];
        return describe(session, environments[static_cast<std::size_t>(picked)], out);
    }

  private:
    static bool describe(const SessionProperties& session, const std::string& environment,
                         GraphicalSession& out) {
        const std::string uidText = property(session, "User");
        char* end = nullptr;
        const unsigned long uid = std::strtoul(uidText.c_str(), &end, 10);
        if (uidText.empty() || *end != '\0') return false;
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) !=
                0 ||
            found == nullptr) {
            return false;
        }
        out.id = property(session, "Id");
        out.user = entry.pw_name;
        out.uid = entry.pw_uid;
        out.gid = entry.pw_gid;
        out.home = entry.pw_dir;
        out.display = property(session, "Display");
        out.xauthority = EnvironmentValue(environment, "XAUTHORITY");
        if (out.xauthority.empty() && FileExists(JoinPath(out.home, ".Xauthority"))) {
            out.xauthority = JoinPath(out.home, ".Xauthority");
        }
        const std::string runtime = "/run/user/" + std::to_string(out.uid);
        out.runtimeDirectory = isDirectory(runtime) ? runtime : std::string();
        return true;
    }
};

}  // namespace

std::vector<std::string> ParseSessionIds(const std::string& listOutput) {
    std::vector<std::string> ids;
    std::istringstream lines(listOutput);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string id;
        if (words >> id) ids.push_back(id);
    }
    return ids;
}

SessionProperties ParseSessionProperties(const std::string& showOutput) {
    SessionProperties properties;
    std::istringstream lines(showOutput);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        properties[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return properties;
}

std::string EnvironmentValue(const std::string& block, const std::string& name) {
    const std::string prefix = name + "=";
    std::size_t start = 0;
    while (start < block.size()) {
        std::size_t end = block.find('\0', start);
        if (end == std::string::npos) end = block.size();
        if (block.compare(start, prefix.size(), prefix) == 0) {
            return block.substr(start + prefix.size(), end - start - prefix.size());
        }
        start = end + 1;
    }
    return {};
}

int PickGraphicalSession(const std::vector<SessionProperties>& sessions) {
    int seatless = -1;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        if (!qualifies(sessions[i])) continue;
        if (!property(sessions[i], "Seat").empty()) return static_cast<int>(i);
        if (seatless < 0) seatless = static_cast<int>(i);
    }
    return seatless;
}

SessionLocator& SystemSessionLocator() {
    static LoginctlSessions locator;
    return locator;
}

}  // namespace vel
