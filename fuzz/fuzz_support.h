// What the fuzz targets that work on files share: a check that stops the
// run, and a scratch directory of their own.
#ifndef BRINDLEX_FUZZ_FUZZ_SUPPORT_H_
#define BRINDLEX_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>
#include <string>

// Stops the run with a crash report when something that must hold does not.
inline void check(bool condition) {
    if (!condition) __builtin_trap();
}

// Makes a fresh scratch directory named after the target: in memory
// (/dev/shm) where there is a file system for it, which is faster, else in
// /tmp.
inline std::string make_scratch(const char* target) {
    char path[128];
    snprintf(path, sizeof path, "/dev/shm/fuzz-%s.XXXXXX", target);
    if (mkdtemp(path) == nullptr) {
        snprintf(path, sizeof path, "/tmp/fuzz-%s.XXXXXX", target);
        check(mkdtemp(path) != nullptr);
    }
    return path;
}

#endif  // BRINDLEX_FUZZ_FUZZ_SUPPORT_H_
