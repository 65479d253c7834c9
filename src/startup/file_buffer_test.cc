#include "startup/file_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "console/console_test_support.h"

namespace {

TEST(FileBuffer, ReadTakeRelease) {
    TempDir dir;
    std::string text(9000, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = char('a' + i % 26);
    write_file(dir.file("p"), text);
    FileBuffer buffer;
    ASSERT_TRUE(read_whole_file(buffer, dir.file("p").c_str()));
    EXPECT_EQ(buffer.size, 9000u);
    EXPECT_EQ(buffer.position, 0u);

    std::string taken;
    char block[4096];
    size_t sizes[4];
    for (size_t& n : sizes) {
        n = take_bytes(buffer, block, sizeof block);
        taken.append(block, n);
    }
    EXPECT_EQ(sizes[0], 4096u);
    EXPECT_EQ(sizes[1], 4096u);
    EXPECT_EQ(sizes[2], 808u);
    EXPECT_EQ(sizes[3], 0u);
    EXPECT_EQ(taken, text);

    release_buffer(buffer);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.position, 0u);
    EXPECT_EQ(buffer.data, nullptr);
    release_buffer(buffer);  // a cleared buffer may be released again
}

TEST(FileBuffer, EmptyFileYieldsNothing) {
    TempDir dir;
    write_file(dir.file("empty"), "");
    FileBuffer buffer;
    ASSERT_TRUE(read_whole_file(buffer, dir.file("empty").c_str()));
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.data, nullptr);
    char block[16];
    EXPECT_EQ(take_bytes(buffer, block, sizeof block), 0u);
}

TEST(FileBuffer, Failures) {
    TempDir dir;
    FileBuffer buffer;
    EXPECT_FALSE(read_whole_file(buffer, dir.file("missing").c_str()));
    EXPECT_EQ(buffer.data, nullptr);
    // A file that ends before the size it reports (sysfs files report a
    // page): a failure, not an endless wait for the missing bytes.
    EXPECT_FALSE(read_whole_file(buffer, "/sys/kernel/uevent_seqnum"));
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.size, 0u);
}

}  // namespace
