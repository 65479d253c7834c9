#pragma once
#include <cstdio>

// The end of one run of the package unpacker, whose standard input is the
// stream that open_write_pipe returned. The last bytes of a package may
// still sit in that stream's buffer: they reach the unpacker only when the
// stream is closed, and a reader that has gone makes that write fail.
//
// True when every byte went into the pipe and the unpacker ended with exit
// status 0, the only sign that the package went in whole. False when the
// closing write failed (the unpacker had stopped reading), the unpacker
// could not be waited for, or it ended with another status or a signal.
// The unpacker has ended when this returns, in every case: nothing of it
// still holds the new system. Nothing is printed: each mode ends the
// installation with its own line.
bool close_unpacker(FILE* pipe);
