#pragma once
#include "startup/install_context.h"

// The four installation modes that select_mode runs; each returns true for
// success, and after a failure has printed its own lines.
bool install_from_floppies(InstallContext& ctx);
bool install_from_cdrom(InstallContext& ctx);
bool install_from_disk_image(InstallContext& ctx);
bool install_from_network(InstallContext& ctx);
