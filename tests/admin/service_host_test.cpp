#include "admin/service_host.h"

#include <gtest/gtest.h>

#include "os/files.h"
#include "os/log.h"
#include "os/systemd_notify.h"
#include "support/notify_socket.h"
#include "support/temp_dir.h"

namespace vel::admin {
namespace {

TEST(SystemdNotify, NeedsASocketToTalkTo) {
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(NotifySystemd("READY=1"));
    ::setenv("NOTIFY_SOCKET", "relative/path", 1);
    EXPECT_FALSE(NotifySystemd("READY=1"));
    ::unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace vel::admin
