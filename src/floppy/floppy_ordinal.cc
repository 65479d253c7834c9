#include <cstdio>

#include "floppy/floppy_reader.h"

const char* floppy_ordinal(unsigned n) {
    // One shared buffer: the text stays valid until the next call.
    static char buffer[80];
    if (n == 1) return "1st";
    if (n == 2) return "2nd";
    if (n == 3) return "3rd";
    snprintf(buffer, sizeof buffer, "%uth", n);
    return buffer;
}
