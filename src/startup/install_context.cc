#include "startup/install_context.h"

#include <cstring>

void init_install_context(InstallContext& ctx) {
    memset(&ctx, 0, sizeof ctx);
    ctx.floppy_header.part_count = 1;
}
