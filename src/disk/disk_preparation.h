#pragma once
#include "startup/install_context.h"

// The three steps every installation mode drives the target disk through.
bool detect_disk(InstallContext& ctx);
bool prepare_disk(InstallContext& ctx, bool keep_config);
// Runs the post-install script, writes the new system out to the disk,
// checks it and unmounts it. False, with an error line, when a write of the
// disk failed at any time since the new system was mounted.
bool finish_installation(InstallContext& ctx);
