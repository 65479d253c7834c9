#pragma once
#include "startup/install_context.h"

// The installation modes that select_mode runs; each returns true for
// success. A mode that is not part of this build says so on a
// "FATAL ERROR: " line and returns false.
bool install_from_floppies(InstallContext& ctx);
bool install_from_cdrom(InstallContext& ctx);
bool install_from_disk_image(InstallContext& ctx);
bool install_from_network(InstallContext& ctx);
