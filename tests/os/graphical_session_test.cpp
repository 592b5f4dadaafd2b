#include "os/graphical_session.h"

#include <gtest/gtest.h>

namespace vel {
namespace {

SessionProperties session(const std::string& seat, const std::string& display,
                          const std::string& active = "yes", const std::string& type = "x11",
                          const std::string& sessionClass = "user") {
    return {{"Seat", seat}, {"Display", display},    {"Active", active},
            {"Type", type}, {"Class", sessionClass}, {"State", "active"}};
}

TEST(GraphicalSession, ReadsLoginctlOutput) {
    EXPECT_EQ(ParseSessionIds("      2 1000 alice seat0 tty2\n     c1  118 lightdm seat0 tty7\n\n"),
              (std::vector<std::string>{"2", "c1"}));
    const SessionProperties p =
        ParseSessionProperties("Id=2\nName=alice\nUser=1000\nDisplay=:0\nRemote=no\nSeat=\n");
    EXPECT_EQ(p.at("Display"), ":0");
    EXPECT_EQ(p.at("Seat"), "");
    const std::string environ("LANG=C\0XAUTHORITY=/run/user/1000/gdm/Xauthority\0DISPLAY=:1\0", 60);
    EXPECT_EQ(EnvironmentValue(environ, "DISPLAY"), ":1");
    EXPECT_EQ(EnvironmentValue(environ, "HOME"), "");
}

TEST(GraphicalSession, PicksAnActiveUserDesktopAndPrefersTheConsoleOverRemoteSessions) {
    EXPECT_EQ(PickGraphicalSession({session("seat0", ""),          // a text console
                                    session("seat0", ":0", "no"),  // switched away
                                    session("seat0", ":1", "yes", "wayland"),
                                    session("seat0", ":0", "yes", "x11", "greeter")}),
              -1);
    // An xrdp session has no seat; it counts, but the console's desktop comes first.
    EXPECT_EQ(PickGraphicalSession({session("", ":10"), session("seat0", ":0")}), 1);
    EXPECT_EQ(PickGraphicalSession({session("", ":10"), session("seat0", ":0", "no")}), 0);
}

}  // namespace
}  // namespace vel
