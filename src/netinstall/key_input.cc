#include "netinstall/key_input.h"

#include <cstdio>

bool key_buffered() {
    // The C library's stream keeps what it has read but not yet delivered
    // between these two pointers.
    return stdin->_IO_read_ptr < stdin->_IO_read_end;
}
