#include "fleet_table.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "netinstall/router_installation.h"

namespace {

// The words of a line, up to a '#' that begins a word.
std::vector<std::string> line_words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        if (word[0] == '#') break;
        words.push_back(word);
    }
    return words;
}

// Decimal digits only, at most limit.
bool number_text(const std::string& text, unsigned long limit, unsigned long& value) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long n = strtoull(text.c_str(), nullptr, 10);
    if (n > limit) return false;
    value = static_cast<unsigned long>(n);
    return true;
}

// Four decimal numbers separated by dots.
bool address_text(const std::string& text, in_addr& address) {
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::string dotted(in_addr address) {
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &address, text, sizeof text) != nullptr ? text : "?";
}

// The configuration words after the MAC; "" or what is wrong.
std::string parse_config(const std::vector<std::string>& words, const std::string& folder,
                         FleetConfig& config) {
    if (words.size() < 2) return "a configuration is missing after " + words[0];
    const std::string& kind = words[1];
    if (kind == "keep") {
        config.kind = FleetConfig::keep;
        if (words.size() > 2) return "nothing may follow keep: " + words[2];
        return "";
    }
    if (kind == "script") {
        config.kind = FleetConfig::script;
        if (words.size() < 3) return "script needs a file";
        if (words.size() > 3) return "script takes one file: " + words[3];
        config.script_path =
            words[2][0] == '/' || folder.empty() ? words[2] : folder + "/" + words[2];
        return "";
    }
    if (kind != "address") return "not keep, address or script: " + kind;
    config.kind = FleetConfig::address;
    if (words.size() < 3) return "address needs A.B.C.D/BITS";
    const std::string& text = words[2];
    size_t slash = text.find('/');
    if (slash == std::string::npos || !address_text(text.substr(0, slash), config.router_address) ||
        !number_text(text.substr(slash + 1), MAX_PREFIX_BITS, config.prefix_bits))
        return "not an address A.B.C.D/BITS (BITS at most 32): " + text;
    bool gateway = false, baud = false;
    for (size_t i = 3; i < words.size(); i += 2) {
        const std::string& option = words[i];
        if (option != "gateway" && option != "baud") return "not gateway or baud: " + option;
        if (i + 1 >= words.size()) return option + " needs a value";
        const std::string& value = words[i + 1];
        if (option == "gateway") {
            if (gateway) return "gateway given twice";
            gateway = true;
            if (!address_text(value, config.gateway)) return "not a gateway address: " + value;
        } else {
            if (baud) return "baud given twice";
            baud = true;
            if (!number_text(value, MAX_NUMBER_ANSWER, config.baud) || config.baud == 0)
                return "not a baud rate: " + value;
        }
    }
    return "";
}

}  // namespace

bool parse_mac_text(const std::string& text, uint8_t* mac) {
    if (text.size() != MAC_TEXT_LENGTH) return false;
    for (int i = 0; i < MAC_LENGTH; ++i) {
        const char* at = text.c_str() + 3 * i;
        if (!isxdigit(static_cast<unsigned char>(at[0])) ||
            !isxdigit(static_cast<unsigned char>(at[1])) || (i < MAC_LENGTH - 1 && at[2] != ':'))
            return false;
        char pair[3] = {at[0], at[1], '\0'};
        mac[i] = static_cast<uint8_t>(strtoul(pair, nullptr, 16));
    }
    return true;
}

bool parse_fleet_table(FleetTable& table, const std::string& text, const std::string& folder,
                       std::string& error) {
    table = FleetTable();
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto refuse = [&](const std::string& what) {
        error = std::to_string(number) + ": " + what;
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        if (line.find('\0') != std::string::npos) return refuse("a NUL byte in the line");
        std::vector<std::string> words = line_words(line);
        if (words.empty()) continue;
        FleetEntry entry;
        entry.line = number;
        bool unlisted = words[0] == "*";
        if (!unlisted) {
            if (!parse_mac_text(words[0], entry.mac))
                return refuse("not a MAC address or *: " + words[0]);
            if (mac_is_zero(entry.mac)) return refuse("the MAC address is all zero");
        }
        std::string wrong = parse_config(words, folder, entry.config);
        if (!wrong.empty()) return refuse(wrong);
        if (unlisted) {
            if (table.has_default)
                return refuse("a second * line (the first on line " +
                              std::to_string(table.unlisted.line) + ")");
            table.has_default = true;
            table.unlisted = entry;
            continue;
        }
        for (const FleetEntry& earlier : table.routers)
            if (same_mac(earlier.mac, entry.mac))
                return refuse(std::string(format_mac(entry.mac)) +
                              " is listed twice (first on line " + std::to_string(earlier.line) +
                              ")");
        table.routers.push_back(entry);
    }
    if (table.routers.empty() && !table.has_default) {
        error = "no router in the table";
        return false;
    }
    return true;
}

bool read_fleet_table(FleetTable& table, const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        error = path + ": cannot be read";
        return false;
    }
    // An empty file copies nothing (and sets the stream's failure flag):
    // it is refused below as a table without routers.
    std::stringstream content;
    content << file.rdbuf();
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    if (folder.empty()) folder = "/";
    if (parse_fleet_table(table, content.str(), folder, error)) return true;
    error = path + (isdigit(static_cast<unsigned char>(error[0])) ? ":" : ": ") + error;
    return false;
}

const FleetEntry* fleet_entry_for(const FleetTable& table, const uint8_t* mac) {
    for (const FleetEntry& entry : table.routers)
        if (same_mac(entry.mac, mac)) return &entry;
    return table.has_default ? &table.unlisted : nullptr;
}

bool fleet_lists(const FleetTable& table, const uint8_t* mac) {
    for (const FleetEntry& entry : table.routers)
        if (same_mac(entry.mac, mac)) return true;
    return false;
}

std::string describe_fleet_config(const FleetConfig& config) {
    switch (config.kind) {
        case FleetConfig::keep:
            return "keep";
        case FleetConfig::script:
            return "script " + config.script_path;
        case FleetConfig::address:
            break;
    }
    std::string text =
        "address " + dotted(config.router_address) + "/" + std::to_string(config.prefix_bits);
    if (config.gateway.s_addr != 0) text += " gateway " + dotted(config.gateway);
    if (config.baud != 0) text += " baud " + std::to_string(config.baud);
    return text;
}
