// What a fleet run shows: one line per router while it runs (redrawn in
// place on a terminal, one plain line per change of state otherwise), the
// summary table at the end, and the JSON report.
#pragma once

#include <string>
#include <vector>

#include "fleet_run.h"

// The router's state in words ("sending package 2 of 3 (ppp.vpk)").
std::string fleet_state_text(const FleetRouter& router, int package_count);

// The progress lines.
struct FleetDisplay {
    bool terminal = false;          // redraw in place
    int package_count = 0;          // packages each router gets
    int drawn = 0;                  // lines drawn so far (terminal)
    std::vector<std::string> said;  // the state last printed, per router (plain)
    bool crowded = false;           // more routers not in the table came than a run notes
};

// The line under the summary of a crowded run.
constexpr char FLEET_CROWDED[] =
    "More routers not in the table announced themselves than a run notes: the others were "
    "left alone";

// Shows what changed since the last call (terminal: every line again).
void show_fleet(FleetDisplay& display, const std::vector<FleetRouter>& routers);

// The summary table and its count line; the run's result: whether every
// listed router (and every other one it took) was installed.
bool print_fleet_summary(const std::vector<FleetRouter>& routers, int package_count);

// The report as JSON text: per router its MAC, label, configuration,
// packages it has whole, bytes, seconds, result and failure text.
std::string fleet_report_json(const std::vector<FleetRouter>& routers,
                              const std::vector<std::string>& package_names);
