#include "fleet_report.h"

#include <cstdio>

namespace {

const char* result_word(FleetState state) {
    switch (state) {
        case FleetState::done:
            return "installed";
        case FleetState::failed:
            return "failed";
        case FleetState::left_alone:
            return "left alone";
        case FleetState::missing:
            return "missing";
        default:
            return "unfinished";
    }
}

double seconds_of(const FleetRouter& router) {
    if (router.started_us == 0 || router.ended_us < router.started_us) return 0;
    return static_cast<double>(router.ended_us - router.started_us) / 1e6;
}

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string router_line(const FleetRouter& router, int package_count, bool with_bytes) {
    char line[160];
    snprintf(line, sizeof line, "%s (%s): ", format_mac(router.mac),
             router.label.empty() ? "-" : router.label.c_str());
    std::string text = line + fleet_state_text(router, package_count);
    if (with_bytes && (router.state == FleetState::sending ||
                       router.state == FleetState::configuring || router.state == FleetState::done))
        text += ", " + std::to_string(router.bytes) + " bytes";
    return text;
}

}  // namespace

std::string fleet_state_text(const FleetRouter& router, int package_count) {
    switch (router.state) {
        case FleetState::missing:
            return "not heard";
        case FleetState::offered:
            return "offered";
        case FleetState::preparing:
            return "preparing its disk";
        case FleetState::sending:
            return "sending package " + std::to_string(router.package) + " of " +
                   std::to_string(package_count) + " (" + router.package_name + ")";
        case FleetState::configuring:
            return "sending its configuration";
        case FleetState::done:
            return "done";
        case FleetState::failed:
            return "failed: " + router.failure;
        case FleetState::left_alone:
            return "not in the table, left alone";
    }
    return "";
}

void show_fleet(FleetDisplay& display, const std::vector<FleetRouter>& routers) {
    if (display.terminal) {
        // Back to the first router's line, and every line again.
        if (display.drawn > 0) printf("\x1b[%dA", display.drawn);
        for (const FleetRouter& router : routers)
            printf("\r\x1b[2K%s\n", router_line(router, display.package_count, true).c_str());
        display.drawn = static_cast<int>(routers.size());
        fflush(stdout);
        return;
    }
    display.said.resize(routers.size());
    bool printed = false;
    for (size_t i = 0; i < routers.size(); ++i) {
        // Not heard is where every listed router starts: nothing to say.
        if (routers[i].state == FleetState::missing) continue;
        std::string line = router_line(routers[i], display.package_count, false);
        if (line == display.said[i]) continue;
        display.said[i] = line;
        if (routers[i].state == FleetState::done)
            line += ", " + std::to_string(routers[i].bytes) + " bytes";
        puts(line.c_str());
        printed = true;
    }
    if (printed) fflush(stdout);
}

bool print_fleet_summary(const std::vector<FleetRouter>& routers, int package_count) {
    int installed = 0, failed = 0, missing = 0, alone = 0;
    bool all = true;
    // 78 columns with labels of up to 16 characters.
    printf("\n%-17s  %-16s  %-10s  %-8s  %10s  %7s\n", "MAC", "LABEL", "RESULT", "PACKAGES",
           "BYTES", "SECONDS");
    for (const FleetRouter& router : routers) {
        char packages[24];
        snprintf(packages, sizeof packages, "%d/%d", router.packages_sent, package_count);
        printf("%-17s  %-16s  %-10s  %-8s  %10llu  %7.1f", format_mac(router.mac),
               router.label.empty() ? "-" : router.label.c_str(), result_word(router.state),
               router.state == FleetState::left_alone ? "-" : packages,
               static_cast<unsigned long long>(router.bytes), seconds_of(router));
        if (router.state == FleetState::failed) printf("  %s", router.failure.c_str());
        printf("\n");
        switch (router.state) {
            case FleetState::done:
                installed++;
                break;
            case FleetState::left_alone:
                alone++;
                break;
            case FleetState::missing:
                missing++;
                all = false;
                break;
            default:
                failed++;
                all = false;
                break;
        }
    }
    printf("%d installed, %d failed, %d missing, %d left alone\n", installed, failed, missing,
           alone);
    fflush(stdout);
    return all;
}

std::string fleet_report_json(const std::vector<FleetRouter>& routers,
                              const std::vector<std::string>& package_names) {
    std::string out = "{\n  \"routers\": [";
    bool first = true;
    for (const FleetRouter& router : routers) {
        out += first ? "\n" : ",\n";
        first = false;
        out += "    {\"mac\": " + json_text(format_mac(router.mac));
        out += ", \"label\": " + json_text(router.label);
        out += ", \"configuration\": " +
               (router.entry == nullptr ? std::string("null")
                                        : json_text(describe_fleet_config(router.entry->config)));
        out += ", \"packages\": [";
        int whole = router.state == FleetState::left_alone ? 0 : router.packages_sent;
        for (int i = 0; i < whole && i < static_cast<int>(package_names.size()); ++i)
            out += (i ? ", " : "") + json_text(package_names[static_cast<size_t>(i)]);
        char numbers[64];
        snprintf(numbers, sizeof numbers, "], \"bytes\": %llu, \"seconds\": %.3f",
                 static_cast<unsigned long long>(router.bytes), seconds_of(router));
        out += numbers;
        out += ", \"result\": " + json_text(result_word(router.state));
        out += ", \"failure\": " + json_text(router.failure) + "}";
    }
    out += "\n  ]\n}\n";
    return out;
}
