#include "netinstall/file_header.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool parse(const std::string& payload, std::string* name = nullptr, int* size = nullptr) {
    char text[FILE_NAME_SIZE];
    int value = -7;
    bool ok = parse_file_header(reinterpret_cast<const uint8_t*>(payload.data()),
                                static_cast<int>(payload.size()), text, value);
    if (name != nullptr) *name = text;
    if (size != nullptr) *size = value;
    return ok;
}

}  // namespace

TEST(FileHeader, FormatsNameAndSizeOnLinesOfTheirOwn) {
    char text[64];
    EXPECT_EQ(format_file_header(text, sizeof text, "base.vpk", 1453), 19);
    EXPECT_STREQ(text, "FILE\nbase.vpk\n1453\n");
    EXPECT_EQ(format_file_header(text, 10, "base.vpk", 1453), -1);
    EXPECT_EQ(text[9], '\0');
}

TEST(FileHeader, ReadsWellFormedHeadersAndRefusesTheRest) {
    std::string name;
    int size = 0;
    ASSERT_TRUE(parse("FILE\nbase.vpk\n1453\n", &name, &size));
    EXPECT_EQ(name, "base.vpk");
    EXPECT_EQ(size, 1453);
    ASSERT_TRUE(parse("FILE\nautorun.scr\n0\n", &name, &size));
    EXPECT_EQ(size, 0);
    ASSERT_TRUE(parse("FILE\nbig\n2147483647\n", &name, &size));
    EXPECT_EQ(size, 2147483647);

    // The name keeps 79 characters and is always terminated.
    ASSERT_TRUE(parse("FILE\n" + std::string(200, 'n') + "\n5\n", &name, &size));
    EXPECT_EQ(name, std::string(79, 'n'));
    EXPECT_EQ(size, 5);

    // Sizes that are no number, negative, or too big for an int.
    EXPECT_FALSE(parse("FILE\nx\n2147483648\n", &name, &size));
    EXPECT_FALSE(parse("FILE\nx\n-1\n"));
    EXPECT_FALSE(parse("FILE\nx\n12x\n"));
    EXPECT_FALSE(parse("FILE\nx\n 12\n"));
    EXPECT_FALSE(parse("FILE\nx\n\n"));
    EXPECT_FALSE(parse("FILE\nx\n99999999999999999999999\n"));
    // Missing line ends, another tag, too short.
    EXPECT_FALSE(parse("FILE\nx\n12"));
    EXPECT_FALSE(parse("FILE\nx"));
    EXPECT_FALSE(parse("FILE"));
    EXPECT_FALSE(parse("FIL"));
    EXPECT_FALSE(parse("DATA\nx\n12\n"));
}
