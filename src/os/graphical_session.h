#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace vel {

// The desktop a stream agent captures: whose it is and how an X client reaches it.
struct GraphicalSession {
    std::string id;    // logind's session id
    std::string user;  // user name
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
    std::string display;           // ":0", ":10"
    std::string xauthority;        // empty when none was found
    std::string runtimeDirectory;  // "/run/user/<uid>", empty when it does not exist
};

// Finds the active graphical session; tests substitute their own.
class SessionLocator {
  public:
    virtual ~SessionLocator() = default;
    // False when no graphical session is active (or logind cannot be asked).
    [[nodiscard]] virtual bool activeGraphicalSession(GraphicalSession& out) = 0;
};

// Asks logind through loginctl. A session counts when it is active, of class "user", not
// Wayland, and has an X display: logind's Display, else DISPLAY in its leader's environment (as
// for an xrdp session). Sessions on a seat come before seatless ones such as xrdp's. XAUTHORITY
// is the leader's, else ~/.Xauthority when that file exists.
SessionLocator& SystemSessionLocator();

// loginctl's properties of one session, parsed from `show-session` output ("Name=value" lines).
using SessionProperties = std::map<std::string, std::string>;

// The session ids of `loginctl list-sessions --no-legend` output (its first column).
std::vector<std::string> ParseSessionIds(const std::string& listOutput);
SessionProperties ParseSessionProperties(const std::string& showOutput);
// The value of name in a NUL-separated environment block (/proc/<pid>/environ); empty if absent.
std::string EnvironmentValue(const std::string& block, const std::string& name);

// Of sessions whose Display is already filled in, the one to stream: its position in the list,
// or -1 when none qualifies.
int PickGraphicalSession(const std::vector<SessionProperties>& sessions);

}  // namespace vel
