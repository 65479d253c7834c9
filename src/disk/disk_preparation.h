#pragma once
#include "startup/install_context.h"

// The three steps every installation mode drives the target disk through.
bool detect_disk(InstallContext& ctx);
bool prepare_disk(InstallContext& ctx, bool keep_config);
void finish_installation(InstallContext& ctx);
