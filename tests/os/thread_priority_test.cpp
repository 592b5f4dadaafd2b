#include "os/thread_priority.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace vel {
namespace {

int threadNice() {
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
}

// A raise is undone on leaving, never lowers a thread already above it, and reaches a child
// started afterwards.
TEST(ThreadPriority, RaisedWherePermittedPutBackAndPassedToChildren) {
    std::thread([] {
        const int before = threadNice();
        if (before <= -15) GTEST_SKIP() << "the thread already runs at nice " << before;
        if (!enterMmcss("Pro Audio")) {
            EXPECT_EQ(threadNice(), before);  // not permitted: nothing changed
            return;
        }
        EXPECT_EQ(threadNice(), -15);
        leaveMmcss();
        EXPECT_EQ(threadNice(), before);

        ASSERT_TRUE(raiseThreadPriority(-5));
        EXPECT_TRUE(raiseThreadPriority(0));
        EXPECT_EQ(threadNice(), -5);
        FILE* child = ::popen("nice", "r");
        ASSERT_NE(child, nullptr);
        char text[16] = {};
        const bool read = std::fgets(text, sizeof text, child) != nullptr;
        ::pclose(child);
        EXPECT_TRUE(read);
        EXPECT_EQ(std::atoi(text), -5);
    }).join();
}

}  // namespace
}  // namespace vel
