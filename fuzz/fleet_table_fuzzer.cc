// The fleet table the operator writes: any text is read or refused with a
// line number within the text, and a table that was read, written back
// line by line in its own form, reads back the same.
#include <cstdint>
#include <string>

#include "fleet_table.h"
#include "fuzz_support.h"

namespace {

std::string written(const FleetTable& table) {
    std::string text;
    for (const FleetEntry& entry : table.routers)
        text +=
            std::string(format_mac(entry.mac)) + " " + describe_fleet_config(entry.config) + "\n";
    if (table.has_default) text += "* " + describe_fleet_config(table.unlisted.config) + "\n";
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    FleetTable table;
    std::string error;
    if (!parse_fleet_table(table, text, "", error)) {
        check(!error.empty());
        if (error != "no router in the table") {
            long line = strtol(error.c_str(), nullptr, 10);
            check(line >= 1 && static_cast<size_t>(line) <= size + 1);
        }
        return 0;
    }
    FleetTable again;
    check(parse_fleet_table(again, written(table), "", error));
    check(written(again) == written(table));
    return 0;
}
