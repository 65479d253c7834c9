#pragma once
#include "startup/install_context.h"

// The floppy loop of the floppy-set installation: starts the unpacker and
// pipes into it the payload of every data floppy, asking for each in turn.
bool feed_floppy_set(InstallContext& ctx);
