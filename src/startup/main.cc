#include <cstdio>

#include "startup/host_guard.h"
#include "startup/startup.h"

int main(int argc, char** argv) {
#ifdef BRINDLEX_HOST_BUILD
    if (const char* reason = host_start_refusal()) {
        fprintf(stderr, "brindlex-installer: %s\n", reason);
        return 2;
    }
#endif
    return run_installer(argc, argv);
}
