#include "console/activity.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include "console/console_test_support.h"

namespace {

// Sleeps for ms milliseconds even though the activity alarm interrupts.
void sleep_through_alarms(long ms) {
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

TEST(ActivityDots, OneDotPerSecondAndThePendingAlarmIsIgnored) {
    PtySession tty([] {
        start_activity("Working");
        sleep_through_alarms(3500);
        stop_activity();
        // The alarm still pending at 4 s must neither print nor kill.
        sleep_through_alarms(800);
        return 0;
    });
    int status = tty.finish(10000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(tty.output, "Working...\n");
}

}  // namespace
