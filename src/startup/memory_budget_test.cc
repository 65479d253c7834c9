#include "startup/memory_budget.h"

#include <gtest/gtest.h>

#include <string>

namespace {

uint64_t parse(const std::string& text) {
    FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    uint64_t bytes = parse_available_memory(f);
    fclose(f);
    return bytes;
}

TEST(MemoryBudget, ReadsTheKernelsEstimate) {
    EXPECT_EQ(parse("MemTotal:          98304 kB\n"
                    "MemFree:           60000 kB\n"
                    "MemAvailable:      71234 kB\n"
                    "Buffers:             100 kB\n"),
              71234ull << 10);
    EXPECT_EQ(parse("MemTotal: 98304 kB\nMemFree: 60000 kB\n"), 0u);
    EXPECT_EQ(parse(""), 0u);
    // The machine this runs on has some.
    EXPECT_GT(available_memory(), 0u);
}

TEST(MemoryBudget, TheReserveStaysFree) {
    const uint64_t MIB = 1 << 20;
    EXPECT_TRUE(fits_in_memory(0, INSTALL_MEMORY_RESERVE));
    EXPECT_TRUE(fits_in_memory(10 * MIB, INSTALL_MEMORY_RESERVE + 10 * MIB));
    EXPECT_FALSE(fits_in_memory(10 * MIB + 1, INSTALL_MEMORY_RESERVE + 10 * MIB));
    EXPECT_FALSE(fits_in_memory(0, INSTALL_MEMORY_RESERVE - 1));
    EXPECT_FALSE(fits_in_memory(1, 0));
}

}  // namespace
