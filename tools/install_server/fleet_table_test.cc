// The fleet table as the operator writes it: every form of line, comments,
// and each kind of bad line refused with its number.
#include "fleet_table.h"

#include <gtest/gtest.h>

#include <string>

#include "netinstall/netinstall_test_support.h"

namespace {

std::string refusal(const std::string& text) {
    FleetTable table;
    std::string error;
    EXPECT_FALSE(parse_fleet_table(table, text, "/site", error)) << text;
    return error;
}

}  // namespace

TEST(FleetTable, ReadsEveryFormOfLine) {
    FleetTable table;
    std::string error;
    ASSERT_TRUE(parse_fleet_table(table,
                                  "# site 4\n"
                                  "\n"
                                  "02:00:00:00:02:01 address 10.4.2.1/24 gateway 10.4.2.254 "
                                  "baud 115200   # the core\n"
                                  "  02:00:00:00:02:0a\tkeep\r\n"
                                  "02:00:00:00:02:03 script core.scr\n"
                                  "02:00:00:00:02:04 script /etc/edge.scr\n"
                                  "02:00:00:00:02:05 address 192.0.2.9/32 baud 9600 gateway "
                                  "192.0.2.1\n"
                                  "02:00:00:00:02:06 address 0.0.0.0/0\n"
                                  "* keep\n",
                                  "/site", error))
        << error;
    ASSERT_EQ(table.routers.size(), 6u);
    std::vector<std::string> described;
    for (const FleetEntry& e : table.routers)
        described.push_back(std::string(format_mac(e.mac)) + " " + describe_fleet_config(e.config) +
                            " @" + std::to_string(e.line));
    EXPECT_EQ(described, (std::vector<std::string>{
                             "02:00:00:00:02:01 address 10.4.2.1/24 gateway 10.4.2.254 baud "
                             "115200 @3",
                             "02:00:00:00:02:0A keep @4",
                             "02:00:00:00:02:03 script /site/core.scr @5",
                             "02:00:00:00:02:04 script /etc/edge.scr @6",
                             "02:00:00:00:02:05 address 192.0.2.9/32 gateway 192.0.2.1 baud "
                             "9600 @7",
                             "02:00:00:00:02:06 address 0.0.0.0/0 @8",
                         }));
    EXPECT_TRUE(table.has_default);
    EXPECT_EQ(table.unlisted.config.kind, FleetConfig::keep);

    // Lookup: a listed MAC its own line, any other the "*" line.
    const uint8_t listed[] = {2, 0, 0, 0, 2, 0x0a}, other[] = {2, 0, 0, 0, 9, 9};
    ASSERT_NE(fleet_entry_for(table, listed), nullptr);
    EXPECT_EQ(fleet_entry_for(table, listed)->line, 4);
    EXPECT_TRUE(fleet_lists(table, listed));
    EXPECT_EQ(fleet_entry_for(table, other), &table.unlisted);
    EXPECT_FALSE(fleet_lists(table, other));

    // Without a "*" line an unlisted router has no line at all.
    ASSERT_TRUE(parse_fleet_table(table, "02:00:00:00:02:0A keep", "", error)) << error;
    EXPECT_FALSE(table.has_default);
    EXPECT_EQ(fleet_entry_for(table, other), nullptr);
    // Only a "*" line: every router is installed alike.
    ASSERT_TRUE(parse_fleet_table(table, "* script all.scr\n", "", error)) << error;
    EXPECT_TRUE(table.routers.empty());
    EXPECT_EQ(table.unlisted.config.script_path, "all.scr");
}

TEST(FleetTable, RefusesABadLineWithItsNumber) {
    const std::string good = "# fleet\n02:00:00:00:02:01 keep\n";
    EXPECT_EQ(refusal(good + "02:00:00:00:02 keep\n"), "3: not a MAC address or *: 02:00:00:00:02");
    EXPECT_EQ(refusal(good + "02-00-00-00-02-02 keep\n"),
              "3: not a MAC address or *: 02-00-00-00-02-02");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:0g keep\n"),
              "3: not a MAC address or *: 02:00:00:00:02:0g");
    EXPECT_EQ(refusal(good + "00:00:00:00:00:00 keep\n"), "3: the MAC address is all zero");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02\n"),
              "3: a configuration is missing after 02:00:00:00:02:02");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 kept\n"), "3: not keep, address or script: kept");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 keep now\n"), "3: nothing may follow keep: now");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 script\n"), "3: script needs a file");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 script a b\n"), "3: script takes one file: b");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 address\n"), "3: address needs A.B.C.D/BITS");
    for (const char* bad : {"10.0.0.2", "10.0.0.2/33", "10.0.0.2/", "10.1/8", "10.0.0.256/8",
                            "10.0.0.2/-1", "10.0.0.2/24x"})
        EXPECT_EQ(refusal(good + "02:00:00:00:02:02 address " + bad + "\n"),
                  std::string("3: not an address A.B.C.D/BITS (BITS at most 32): ") + bad);
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 address 10.0.0.2/8 gateway\n"),
              "3: gateway needs a value");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 address 10.0.0.2/8 gateway 10.0.0\n"),
              "3: not a gateway address: 10.0.0");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 address 10.0.0.2/8 baud 0\n"),
              "3: not a baud rate: 0");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 address 10.0.0.2/8 baud 99999999999\n"),
              "3: not a baud rate: 99999999999");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 address 10.0.0.2/8 baud 9600 baud 9600\n"),
              "3: baud given twice");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:02 address 10.0.0.2/8 speed 9600\n"),
              "3: not gateway or baud: speed");
    EXPECT_EQ(refusal(good + "\n\n02:00:00:00:02:01 address 10.0.0.2/8\n"),
              "5: 02:00:00:00:02:01 is listed twice (first on line 2)");
    EXPECT_EQ(refusal(good + "02:00:00:00:02:01 keep\n"),
              "3: 02:00:00:00:02:01 is listed twice (first on line 2)");
    EXPECT_EQ(refusal(good + "* keep\n* address 10.0.0.2/8\n"),
              "4: a second * line (the first on line 3)");
    EXPECT_EQ(refusal(good + std::string("02:00:00:00:02:02 keep\0\n", 25)),
              "3: a NUL byte in the line");
    EXPECT_EQ(refusal("# nothing\n\n"), "no router in the table");
    EXPECT_EQ(refusal(""), "no router in the table");

    // From a file: its path before the number; a missing file said so.
    FileFolder folder;
    std::string path = folder.path + "/fleet.txt";
    FILE* f = fopen(path.c_str(), "w");
    fputs("02:00:00:00:02:01 keep\n02:00:00:00:02:02 script edge.scr\nbad\n", f);
    fclose(f);
    FleetTable table;
    std::string error;
    EXPECT_FALSE(read_fleet_table(table, path, error));
    EXPECT_EQ(error, path + ":3: not a MAC address or *: bad");
    f = fopen(path.c_str(), "w");
    fputs("02:00:00:00:02:02 script edge.scr\n", f);
    fclose(f);
    EXPECT_TRUE(read_fleet_table(table, path, error)) << error;
    EXPECT_EQ(table.routers.at(0).config.script_path, folder.path + "/edge.scr");
    f = fopen(path.c_str(), "w");
    fclose(f);
    EXPECT_FALSE(read_fleet_table(table, path, error));
    EXPECT_EQ(error, path + ": no router in the table");
    EXPECT_FALSE(read_fleet_table(table, folder.path + "/none.txt", error));
    EXPECT_EQ(error, folder.path + "/none.txt: cannot be read");
}
