#include "netinstall/disk_label.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The label taken from a file holding bytes (null: no file at all).
std::string label_of(const char* bytes, size_t size = DISK_LABEL_SIZE) {
    char path[] = "/tmp/disk-label-XXXXXX";
    int fd = mkstemp(path);
    FILE* file = fdopen(fd, "w");
    if (bytes != nullptr) fputs(bytes, file);
    fclose(file);
    char label[DISK_LABEL_SIZE + 8];
    memset(label, 'Z', sizeof label);
    label_from_file(bytes != nullptr ? path : nullptr, label, size);
    remove(path);
    EXPECT_LT(strlen(label), size);
    return label;
}

}  // namespace

// Letters, digits and punctuation of the first line stay, in their order;
// blanks, tabs, control characters, the line end and bytes above 127 go.
// At most 31 characters of the line are read before anything is dropped.
// Nothing left, an empty file or no file give "brindlex".
TEST(DiskLabel, FirstLineKeepsOnlyVisibleCharacters) {
    EXPECT_EQ(label_of(" lab router\n"), "labrouter");
    EXPECT_EQ(label_of("rack-4/unit_2 (west)\nsecond line\n"), "rack-4/unit_2(west)");
    EXPECT_EQ(label_of("\tcore\x1b[2J\r\n"), "core[2J");
    EXPECT_EQ(label_of("caf\xc3\xa9 r\xfc"), "cafr");
    EXPECT_EQ(label_of("0123456789abcdefghijklmnopqrstuvwxyz\n"),
              "0123456789abcdefghijklmnopqrstu");
    EXPECT_EQ(label_of("          0123456789012345678901234567890\n"), "012345678901234567890");
    EXPECT_EQ(label_of(" \t\n"), "brindlex");
    EXPECT_EQ(label_of("\nlabel on the second line\n"), "brindlex");
    EXPECT_EQ(label_of(""), "brindlex");
    EXPECT_EQ(label_of(nullptr), "brindlex");
    // A smaller buffer: the default is cut to fit as well.
    EXPECT_EQ(label_of(nullptr, 4), "bri");
    EXPECT_EQ(label_of("router\n", 4), "rou");
}
