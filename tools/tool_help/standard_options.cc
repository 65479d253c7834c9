#include "standard_options.h"

#include <cstdio>
#include <cstring>

const char* const TOOLS_VERSION = BRINDLEX_VERSION;

int answer_standard_option(int argc, char** argv, const char* name, const char* help) {
    if (argc < 2) return -1;
    const char* first = argv[1];
    if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0) {
        fputs(help, stdout);
    } else if (strcmp(first, "--version") == 0) {
        printf("%s (Brindlex Router Software) %s\n", name, TOOLS_VERSION);
    } else {
        return -1;
    }
    return fflush(stdout) == 0 && ferror(stdout) == 0 ? 0 : 1;
}
