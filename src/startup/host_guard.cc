#include "startup/host_guard.h"

#include <unistd.h>

#include <cstring>

// The initial process-id namespace always has this fixed inode number.
static const char INITIAL_PID_NAMESPACE[] = "pid:[4026531836]";

const char* host_start_refusal() {
    char link[64];
    ssize_t n = readlink("/proc/self/ns/pid", link, sizeof link - 1);
    if (n < 0) return "refusing to start: cannot read /proc/self/ns/pid to tell a test machine";
    link[n] = '\0';
    if (strcmp(link, INITIAL_PID_NAMESPACE) == 0)
        return "refusing to start in the initial PID namespace of this machine; "
               "the installer runs only on the test PC";
    return nullptr;
}
