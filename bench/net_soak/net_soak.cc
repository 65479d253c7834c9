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
//                  [--package-kib N] [--timing]
//
// --package-kib sends one package of N KiB instead of the set, so that
// the data blocks outweigh the header and start exchanges (whose losses
// cost a second each). --timing watches the server's card and tells where
// the time of a lost block goes: the server's wait before it repeats a
// block, and the time from the repeat to the next new block, against the
// step between two blocks that went through at once.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
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

// Where the time of the data blocks went, from the frames on the server's
// card: per block, when it was first sent, when it was first repeated,
// and when the next block was first sent.
struct BlockTiming {
    std::vector<double> clean_steps_ms;     // block to next block, sent once
    std::vector<double> first_repeat_ms;    // first send to first repeat
    std::vector<double> repeat_to_next_ms;  // last repeat to the next block
    std::vector<double> lossy_steps_ms;     // block to next block, repeated
};

void add_block_timing(BlockTiming& timing, const std::vector<WireFrame>& frames) {
    // seq -> the times the server sent that block.
    std::map<uint16_t, std::vector<int64_t>> sent;
    for (const WireDatagram& d : protocol_datagrams(frames))
        if (from(d, SERVER_MAC) && d.header.kind == KIND_DATA)
            sent[d.header.seq].push_back(d.at_us);
    for (auto it = sent.begin(); it != sent.end(); ++it) {
        auto next = std::next(it);
        if (next == sent.end() || next->first != it->first + 1) continue;
        double step = static_cast<double>(next->second.front() - it->second.front()) / 1000.0;
        if (it->second.size() == 1) {
            timing.clean_steps_ms.push_back(step);
            continue;
        }
        timing.lossy_steps_ms.push_back(step);
        timing.first_repeat_ms.push_back(static_cast<double>(it->second[1] - it->second[0]) /
                                         1000.0);
        timing.repeat_to_next_ms.push_back(
            static_cast<double>(next->second.front() - it->second.back()) / 1000.0);
    }
}

double median_of(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
                       const std::vector<std::string>& names, BlockTiming* timing = nullptr) {
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

    WireSniffer wire;
    if (timing != nullptr && !start_sniffer(wire, cable.server, "srv0", 64)) timing = nullptr;
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
    if (timing != nullptr) add_block_timing(*timing, stop_sniffer(wire));
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
    bool verbose = false, timed = false;
    int package_kib = 0;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "0";
        if (option == "--verbose" || option == "--timing") {
            (option == "--verbose" ? verbose : timed) = true;
            continue;
        }
        if (option == "--package-kib")
            package_kib = atoi(value);
        else if (option == "--runs")
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
                    "[--duplicate P] [--reorder P] [--first-seed N] [--verbose] "
                    "[--package-kib N] [--timing]\n");
            return 2;
        }
        ++i;
    }
    FileFolder packages;
    std::vector<std::string> names;
    if (package_kib > 0) {
        names.push_back("big.vpk");
        packages.make(names.back(), static_cast<size_t>(package_kib) * 1024, 1);
    }
    for (size_t i = 0; package_kib <= 0 && i < sizeof PACKAGE_SIZES / sizeof PACKAGE_SIZES[0];
         ++i) {
        names.push_back("p" + std::to_string(i) + ".vpk");
        packages.make(names.back(), PACKAGE_SIZES[i], static_cast<unsigned>(i + 1));
    }
    BlockTiming clean_timing, lossy_timing;

    std::vector<double> clean_times;
    for (int i = 0; i < clean_runs; ++i) {
        RunResult r = install_once(FaultPlan(), packages, names, timed ? &clean_timing : nullptr);
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
        RunResult r = install_once(plan, packages, names, timed ? &lossy_timing : nullptr);
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
    if (timed) {
        printf("  blocks: clean runs' step from one block to the next %.2f ms (median of %zu)\n",
               median_of(clean_timing.clean_steps_ms), clean_timing.clean_steps_ms.size());
        printf("          lossy runs' step when sent once %.2f ms (median of %zu)\n",
               median_of(lossy_timing.clean_steps_ms), lossy_timing.clean_steps_ms.size());
        printf(
            "          repeated blocks: %zu; first repeat after %.1f ms (median; mean %.1f), "
            "last repeat to the next block %.1f ms (median; mean %.1f), the whole step %.1f ms "
            "(median; mean %.1f)\n",
            lossy_timing.lossy_steps_ms.size(), median_of(lossy_timing.first_repeat_ms),
            mean(lossy_timing.first_repeat_ms), median_of(lossy_timing.repeat_to_next_ms),
            mean(lossy_timing.repeat_to_next_ms), median_of(lossy_timing.lossy_steps_ms),
            mean(lossy_timing.lossy_steps_ms));
    }
    return silent == 0 ? 0 : 1;
}
