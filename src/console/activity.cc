#include "console/activity.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace {

void activity_tick(int);

// Installs activity_tick for SIGALRM and, if that worked, asks for the
// next alarm in one second.
void arm_activity_tick() {
    struct sigaction action = {};
    action.sa_handler = activity_tick;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGALRM, &action, nullptr) == 0) alarm(1);
}

// SIGALRM handler: one dot, bypassing the standard-output buffer.
void activity_tick(int) {
    int saved_errno = errno;
    ssize_t written = write(1, ".", 1);
    (void)written;
    arm_activity_tick();
    errno = saved_errno;
}

}  // namespace

void start_activity(const char* message) {
    fputs(message, stdout);
    fflush(stdout);
    arm_activity_tick();
}

void stop_activity() {
    putchar('\n');
    fflush(stdout);
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &action, nullptr);
}
