#include <cstdio>

// Placeholder until the start-up sequence lands: refuses to do anything.
int main() {
    fprintf(stderr, "brindlex-installer: start-up is not part of this build\n");
    return 2;
}
