#include <gtest/gtest.h>

#include <cerrno>

#include <unistd.h>

#include "platform/platform.h"

namespace {

// The player's controller may close its end of standard output or error; the
// marker and the messages written after that must fail, not end the player.
TEST(Crt, AWriteToAPipeWithoutReaderFailsAndTheProcessGoesOn) {
    ASSERT_EQ(_fileno(stdin), 0);  // the runtime layer is linked in
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    errno = 0;
    EXPECT_EQ(write(ends[1], "1", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    close(ends[1]);
}

}  // namespace
