#include "console/unpacker_run.h"

#include <errno.h>
#include <sys/wait.h>

#include "console/child_process.h"

bool close_unpacker(FILE* pipe) {
    pid_t unpacker = pipe_child_pid;
    int status = close_pipe(pipe);
    if (status == -1 && unpacker != -1) {
        // close_pipe does not wait after a failed close; an unpacker that
        // closed its input early may still be at work below the new root.
        // ECHILD: the SIGCHLD handler has collected it already.
        while (waitpid(unpacker, nullptr, 0) < 0 && errno == EINTR) {
        }
        return false;
    }
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
