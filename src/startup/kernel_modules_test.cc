#include "startup/kernel_modules.h"

#include <gtest/gtest.h>

#include "console/console_test_support.h"
#include "startup/process_state.h"

namespace {

TEST(ModuleLoading, EveryModuleIsTriedInOrderDespiteFailures) {
    TempDir dir;
    std::string loaded = dir.file("loaded");
    std::string loader = dir.file("insmod");
    write_file(
        loader,
        "#!/bin/sh\necho \"$# $1\" >>" + loaded + "\n[ \"$1\" = missing ] && exit 1\nexit 0\n",
        0755);
    strcpy(log_terminal, "/dev/null");
    const char* const modules[] = {"fat", "missing", "vfat", nullptr};
    load_modules_with(loader.c_str(), modules);
    strcpy(log_terminal, "/dev/tty9");
    EXPECT_EQ(read_file(loaded), "1 fat\n1 missing\n1 vfat\n");
}

}  // namespace
