#include "startup/install_context.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(InstallContext, StartsClearedWithOnePart) {
    InstallContext ctx;
    memset(&ctx, 0xA5, sizeof ctx);
    init_install_context(ctx);
    FloppyHeader expected;
    memset(&expected, 0, sizeof expected);
    expected.part_count = 1;
    EXPECT_EQ(memcmp(&ctx.floppy_header, &expected, sizeof expected), 0);
    EXPECT_EQ(ctx.disk.device[0], '\0');
    EXPECT_EQ(ctx.disk.cylinders, 0u);
    EXPECT_FALSE(ctx.disk.has_boot_partition);
    EXPECT_FALSE(ctx.disk.use_journal);
}

}  // namespace
