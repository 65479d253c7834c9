#include "netinstall/mac_address.h"

#include <gtest/gtest.h>

TEST(FormatMac, UpperCaseHexInWireOrderInOneSharedBuffer) {
    const uint8_t first[MAC_LENGTH] = {0x00, 0x0c, 0x29, 0xab, 0xcd, 0xef};
    const uint8_t second[MAC_LENGTH] = {0xff, 0x01, 0x02, 0x03, 0x04, 0x05};
    const char* a = format_mac(first);
    EXPECT_STREQ(a, "00:0C:29:AB:CD:EF");
    const char* b = format_mac(second);
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a, "FF:01:02:03:04:05");

    const uint8_t zero[MAC_LENGTH] = {};
    EXPECT_TRUE(mac_is_zero(zero));
    EXPECT_FALSE(mac_is_zero(first));
    EXPECT_TRUE(same_mac(first, first));
    EXPECT_FALSE(same_mac(first, second));
}
