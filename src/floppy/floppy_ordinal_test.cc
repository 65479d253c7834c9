#include <gtest/gtest.h>

#include "floppy/floppy_reader.h"

TEST(FloppyOrdinal, EnglishForTheFirstThreeThenTh) {
    EXPECT_STREQ(floppy_ordinal(1), "1st");
    EXPECT_STREQ(floppy_ordinal(2), "2nd");
    EXPECT_STREQ(floppy_ordinal(3), "3rd");
    EXPECT_STREQ(floppy_ordinal(4), "4th");
    EXPECT_STREQ(floppy_ordinal(11), "11th");
    EXPECT_STREQ(floppy_ordinal(21), "21th");
    EXPECT_STREQ(floppy_ordinal(0), "0th");
    EXPECT_STREQ(floppy_ordinal(4294967295u), "4294967295th");
}
