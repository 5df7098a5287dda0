// A control thread that cannot start: nothing would ever read standard input,
// so nothing could stop the player; it ends at once, with one line.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "control/control_thread.h"

namespace {

TEST(ControlThread, OneThatCannotStartEndsTheProcessWithOneLine) {
    EXPECT_EXIT(
        {
            // Room for what is mapped now and a little more, not for a thread's stack.
            unsigned long pages = 0;
            FILE* statm = fopen("/proc/self/statm", "r");
            if (!statm || fscanf(statm, "%lu", &pages) != 1) _exit(99);
            fclose(statm);
            rlimit limit = {};
            limit.rlim_cur = limit.rlim_max = pages * sysconf(_SC_PAGESIZE) + (2 << 20);
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(98);
            start_control_thread();
            _exit(0);
        },
        testing::ExitedWithCode(1),
        "^smfstream: cannot start the control thread \\(no thread or memory left\\); the player ends\n$");
}

}  // namespace
