#include "os/thread_priority.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

namespace vel {
namespace {

int threadNice() {
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
}

TEST(ThreadPriority, RaisedWherePermittedAndPutBack) {
    std::thread([] {
        const int before = threadNice();
        if (before <= -15) GTEST_SKIP() << "the thread already runs at nice " << before;
        if (enterMmcss("Pro Audio")) {
            EXPECT_EQ(threadNice(), -15);
            EXPECT_TRUE(enterMmcss("Games"));  // once per thread
            EXPECT_EQ(threadNice(), -15);
            leaveMmcss();
            EXPECT_EQ(threadNice(), before);
        } else {
            EXPECT_EQ(threadNice(), before);  // not permitted: nothing changed
        }
    }).join();
}

}  // namespace
}  // namespace vel
