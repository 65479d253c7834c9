#pragma once
#include <cstdio>

#include "startup/install_context.h"

// Asks for data floppy index (0-based), mounts it at /floppy and returns
// its open part file; asks again by itself for a wrong or missing floppy.
FILE* open_floppy(InstallContext& ctx, unsigned index);

// Reads one floppy's part into the pipe: payload length on success, 0 for a
// bad floppy, -1 when writing to out failed.
int copy_floppy_part(InstallContext& ctx, FILE* floppy, FILE* out);

// "1st", "2nd", "3rd", otherwise "%uth" in one shared buffer.
const char* floppy_ordinal(unsigned n);
