// Router installations one after another between the network lab's two
// peers (brindlex-netpeer's server and client roles, in private
// namespaces), each through a relay of its own that loses, doubles and
// reorders frames with a seed of its own. Every run is counted, as the
// router sees it, as
//   complete:              every package and the script arrived byte for
//                          byte;
//   failed with a message: something is missing and the router says so
//                          ("FATAL ERROR: ...");
//   silently incomplete:   something is missing and the router does not
//                          say so (whether the server did is counted too).
// A few clean runs first give the time of an installation without faults,
// so that the time each lost frame costs can be told (root needed):
//
//   bench_net_soak [--runs 100] [--clean-runs 5] [--drop 5] [--duplicate 2]
//                  [--reorder 2] [--first-seed 1] [--verbose]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net_peer.h"
#include "netinstall/netinstall_test_support.h"

namespace {

// The package set: a block and a byte either side of the block size, a
// few blocks, and two larger packages; then the script.
const size_t PACKAGE_SIZES[] = {3000, 1452, 1453, 65536, 200000};
const char SCRIPT[] =
    ":local eth\n"
    ":set eth [/interface ethernet get [/interface ethernet find mac-address=02:00:00:00:02:01] "
    "name]\n/interface enable $eth\n/ip address add address=10.0.0.2/24 interface=$eth\n"
    "/port set [/port find] baud-rate=9600\n";

// Lines by which a side says that the installation failed.
const char* const FAILURE_LINES[] = {"FATAL ERROR",
                                     "No response from router",
                                     "Bad response from router",
                                     "no router heard",
                                     "Couldn't find any installation server",
                                     "cannot write"};

bool names_a_failure(const std::string& output) {
    for (const char* line : FAILURE_LINES)
        if (output.find(line) != std::string::npos) return true;
    return false;
}

// The first line of output that names a failure.
std::string failure_line(const std::string& output) {
    for (const char* line : FAILURE_LINES) {
        size_t at = output.find(line);
        if (at != std::string::npos) return output.substr(at, output.find('\n', at) - at);
    }
    return "";
}

// How one installation went.
struct RunResult {
    bool complete = false;
    bool named = false;           // the router printed a failure line
    bool server_named = false;    // the server printed one
    bool router_claimed = false;  // the router printed "Software installed."
    bool hung = false;            // a side had to be killed
    double seconds = 0;
    uint64_t dropped = 0;
    std::string server_output, client_output;
};

RunResult install_once(const FaultPlan& faults, const FileFolder& packages,
                       const std::vector<std::string>& names) {
    RunResult result;
    RelayedCable cable(faults);
    if (!cable.ok) {
        fprintf(stderr, "bench_net_soak: cannot make the relayed cable (root needed)\n");
        exit(1);
    }
    FileFolder received;
    PeerOptions serving;
    for (const std::string& name : names) serving.files.push_back(packages.path + "/" + name);
    serving.script = SCRIPT;
    serving.listen_seconds = 60;
    PeerOptions router;
    router.label = "soak";
    router.prepare_ms = 500;
    router.folder = received.path;

    int64_t start = now_us();
    LabProcess server, client;
    start_in_namespace(server, cable.server, [serving] { return run_server_peer(serving); });
    wait_for_output(server, "Looking for routers", 10000);
    start_in_namespace(client, cable.client, [router] { return run_client_peer(router); });
    // The server's operator presses a key at the end; when the server has
    // ended by itself, the router's operator does after a while.
    if (wait_for_output(server, "Press ENTER to reboot\n", 300000)) send_keys(server, "\n");
    bool by_themselves = finish_processes({&server}, 60000);
    if (!finish_processes({&client}, 5000)) {
        // finish_processes killed it: count that, as a key would have ended it.
        by_themselves = false;
    }
    result.seconds = static_cast<double>(now_us() - start) / 1e6;
    cable.finish();
    result.dropped = cable.relay.counters.dropped;
    result.hung = !by_themselves;
    result.server_output = server.output;
    result.client_output = client.output;
    result.complete = received.read("autorun.scr") == SCRIPT;
    for (const std::string& name : names)
        if (received.read(name) != packages.read(name)) result.complete = false;
    result.named = names_a_failure(client.output);
    result.server_named = names_a_failure(server.output);
    result.router_claimed = client.output.find("Software installed.") != std::string::npos;
    return result;
}

double mean(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 100, clean_runs = 5;
    uint64_t first_seed = 1;
    FaultPlan faults;
    faults.drop_percent = 5;
    faults.duplicate_percent = 2;
    faults.reorder_percent = 2;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "0";
        if (option == "--verbose") {
            verbose = true;
            continue;
        }
        if (option == "--runs")
            runs = atoi(value);
        else if (option == "--clean-runs")
            clean_runs = atoi(value);
        else if (option == "--drop")
            faults.drop_percent = atof(value);
        else if (option == "--duplicate")
            faults.duplicate_percent = atof(value);
        else if (option == "--reorder")
            faults.reorder_percent = atof(value);
        else if (option == "--first-seed")
            first_seed = strtoull(value, nullptr, 10);
        else {
            fprintf(stderr,
                    "usage: bench_net_soak [--runs N] [--clean-runs N] [--drop P] "
                    "[--duplicate P] [--reorder P] [--first-seed N] [--verbose]\n");
            return 2;
        }
        ++i;
    }
    FileFolder packages;
    std::vector<std::string> names;
    for (size_t i = 0; i < sizeof PACKAGE_SIZES / sizeof PACKAGE_SIZES[0]; ++i) {
        names.push_back("p" + std::to_string(i) + ".vpk");
        packages.make(names.back(), PACKAGE_SIZES[i], static_cast<unsigned>(i + 1));
    }

    std::vector<double> clean_times;
    for (int i = 0; i < clean_runs; ++i) {
        RunResult r = install_once(FaultPlan(), packages, names);
        if (!r.complete) fprintf(stderr, "bench_net_soak: a clean run was not complete\n");
        clean_times.push_back(r.seconds);
    }

    int complete = 0, named = 0, silent = 0, silent_server_named = 0, claimed = 0, hung = 0;
    uint64_t dropped = 0;
    std::vector<double> times;
    int64_t started = now_us();
    for (int i = 0; i < runs; ++i) {
        FaultPlan plan = faults;
        plan.seed = first_seed + static_cast<uint64_t>(i);
        RunResult r = install_once(plan, packages, names);
        times.push_back(r.seconds);
        dropped += r.dropped;
        if (r.hung) ++hung;
        const char* verdict = "complete";
        if (r.complete) {
            ++complete;
        } else if (r.named) {
            ++named;
            verdict = "failed with a message";
        } else {
            ++silent;
            if (r.server_named) ++silent_server_named;
            verdict = r.server_named ? "SILENT (server said)" : "SILENTLY INCOMPLETE";
        }
        if (!r.complete && r.router_claimed) ++claimed;
        printf("run %3d seed %3llu: %-22s %6.1f s, %3llu frames dropped%s\n", i + 1,
               static_cast<unsigned long long>(plan.seed), verdict, r.seconds,
               static_cast<unsigned long long>(r.dropped), r.hung ? ", a side was killed" : "");
        if (r.complete && r.server_named)
            printf("  (complete, but the server said: %s)\n",
                   failure_line(r.server_output).c_str());
        if (verbose || !r.complete)
            printf("--- server:\n%s--- router:\n%s---\n", r.server_output.c_str(),
                   r.client_output.c_str());
        fflush(stdout);
    }
    double wall = static_cast<double>(now_us() - started) / 1e6;
    printf("\n%d installations at %.0f %% loss, %.0f %% duplicates, %.0f %% reordering:\n", runs,
           faults.drop_percent, faults.duplicate_percent, faults.reorder_percent);
    printf(
        "  complete %d, failed with a message %d, silently incomplete %d (the server named "
        "the failure in %d of them)\n",
        complete, named, silent, silent_server_named);
    printf("  incomplete but the router said \"Software installed.\": %d; a side killed: %d\n",
           claimed, hung);
    printf("  wall time %.1f s; per installation %.2f s (clean: %.2f s, %d runs)\n", wall,
           mean(times), mean(clean_times), clean_runs);
    if (dropped > 0)
        printf(
            "  %.2f frames dropped per installation; %.1f ms per dropped frame beyond the "
            "clean time\n",
            static_cast<double>(dropped) / runs,
            1000.0 * (mean(times) - mean(clean_times)) * runs / static_cast<double>(dropped));
    return silent == 0 ? 0 : 1;
}
