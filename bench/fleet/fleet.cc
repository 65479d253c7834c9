// The fleet's wall time against its size: brindlex-install-server --fleet
// installs 1, 4 and 16 lab routers (brindlex-netpeer's client role, each
// in a private namespace) on one segment (a bridge in a private
// namespace) with the sample packages, each router with its own address.
// Reported per fleet size, as the median of the rounds: the time from the
// first offer to the last router done (and the tool's whole run, which
// adds the wait for the first announcement), its ratio to one router, the
// server's peak memory (the tool and its conversations together, sampled
// every 10 ms) and its CPU time (user + system), and the lab routers' CPU
// time: every router receives every router's broadcast blocks, so the lab
// itself grows with the square of the fleet, and on a machine of few cores
// the fleet's time is bound by the processors. Root needed:
//
//   bench_fleet [--counts 1,4,16] [--rounds 1] [--packages DIR] [--show 1]
//
// --show 1 prints the tool's output of every run.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net_peer.h"
#include "netinstall/netinstall_test_support.h"

namespace {

// One fleet run's figures.
struct FleetFigures {
    bool ok = false;
    double fleet_s = 0;    // first offer to last done
    double tool_s = 0;     // the tool's whole run
    long peak_kib = 0;     // the tool and its conversations together
    double cpu_s = 0;      // user + system of the tool and its conversations
    double lab_cpu_s = 0;  // user + system of the lab routers
};

double cpu_seconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double children_cpu_seconds() {
    rusage usage = {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return cpu_seconds(usage);
}

long rss_kib(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    FILE* f = fopen(path, "r");
    if (f == nullptr) return 0;
    char line[256];
    long kib = 0;
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "VmRSS: %ld", &kib) == 1) break;
    fclose(f);
    return kib;
}

// The resident memory of pid and of its children.
long tree_rss_kib(pid_t pid) {
    long total = rss_kib(pid);
    for (pid_t child : child_processes(pid)) total += rss_kib(child);
    return total;
}

double seconds_since(int64_t start_us) {
    return static_cast<double>(now_us() - start_us) / 1e6;
}

bool show_output = false;

FleetFigures run_fleet_of(int count, const std::string& packages) {
    FleetFigures figures;
    NetNamespace hub, server;
    std::vector<NetNamespace> routers(static_cast<size_t>(count));
    bool ok = create_namespace(hub) && create_namespace(server) && add_segment(hub, "lan") &&
              join_segment(hub, "lan", server, "srv0", mac_option(SERVER_MAC));
    for (int i = 0; ok && i < count; ++i)
        ok = create_namespace(routers[static_cast<size_t>(i)]) &&
             join_segment(hub, "lan", routers[static_cast<size_t>(i)], "cli0",
                          segment_router_mac(i));
    FileFolder site;
    std::string table;
    for (int i = 0; i < count; ++i)
        table += segment_router_mac(i) + " address 10.0." + std::to_string(i + 1) +
                 ".1/24 gateway 10.0." + std::to_string(i + 1) + ".254\n";
    FILE* f = fopen((site.path + "/fleet.txt").c_str(), "w");
    if (f == nullptr) return figures;
    fputs(table.c_str(), f);
    fclose(f);

    double children_before = children_cpu_seconds();
    std::vector<FileFolder> received(static_cast<size_t>(count));
    std::vector<LabProcess> lab(static_cast<size_t>(count));
    for (int i = 0; ok && i < count; ++i) {
        PeerOptions options;
        options.label = "bench-" + std::to_string(i + 1);
        options.folder = received[static_cast<size_t>(i)].path;
        ok = start_in_namespace(lab[static_cast<size_t>(i)], routers[static_cast<size_t>(i)],
                                [options] { return run_client_peer(options); });
    }
    if (!ok) {
        fprintf(stderr, "bench_fleet: namespaces or lab routers cannot be made (root needed)\n");
        return figures;
    }
    // Every router announces before the clock starts.
    for (LabProcess& router : lab) wait_for_output(router, "mac-address", 10000);

    int output[2];
    if (pipe(output) != 0) return figures;
    int64_t start = now_us();
    pid_t tool = fork();
    if (tool == 0) {
        if (!enter_namespace(server)) _exit(127);
        dup2(output[1], 1);
        int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
        close(output[0]);
        std::string table_path = site.path + "/fleet.txt";
        execl(INSTALL_SERVER, INSTALL_SERVER, "--interface", "srv0", "--fleet", table_path.c_str(),
              "--packages", packages.c_str(), "--seconds", "120", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    std::string said, pending;
    double first_offer = -1, last_done = -1;
    int done = 0;
    for (;;) {
        pollfd p = {output[0], POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            char buffer[4096];
            ssize_t n = read(output[0], buffer, sizeof buffer);
            if (n <= 0) break;
            pending.append(buffer, static_cast<size_t>(n));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                said += line + "\n";
                if (line.find("): offered") != std::string::npos && first_offer < 0)
                    first_offer = seconds_since(start);
                if (line.find("): done") != std::string::npos) {
                    last_done = seconds_since(start);
                    done++;
                }
            }
        }
        figures.peak_kib = std::max(figures.peak_kib, tree_rss_kib(tool));
    }
    int status = 0;
    rusage usage = {};
    wait4(tool, &status, 0, &usage);
    figures.tool_s = seconds_since(start);
    close(output[0]);
    figures.cpu_s = cpu_seconds(usage);
    std::vector<LabProcess*> all;
    for (LabProcess& router : lab) all.push_back(&router);
    finish_processes(all, 30000);
    figures.lab_cpu_s = children_cpu_seconds() - children_before - figures.cpu_s;
    figures.fleet_s = last_done - first_offer;
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && done == count;
    if (!figures.ok)
        fprintf(stderr, "bench_fleet: the fleet of %d failed:\n%s", count, said.c_str());
    if (show_output) fputs(said.c_str(), stderr);
    close_namespace(hub);
    close_namespace(server);
    for (NetNamespace& ns : routers) close_namespace(ns);
    return figures;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts = {1, 4, 16};
    int rounds = 1;
    std::string packages = SAMPLE_PACKAGES;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--counts") {
            counts.clear();
            for (const char* p = argv[i + 1]; *p != '\0';) {
                counts.push_back(atoi(p));
                const char* comma = strchr(p, ',');
                if (comma == nullptr) break;
                p = comma + 1;
            }
        } else if (option == "--rounds") {
            rounds = std::max(1, atoi(argv[i + 1]));
        } else if (option == "--packages") {
            packages = argv[i + 1];
        } else if (option == "--show") {
            show_output = atoi(argv[i + 1]) != 0;
        } else {
            fprintf(
                stderr,
                "usage: bench_fleet [--counts 1,4,16] [--rounds 1] [--packages DIR] [--show 1]\n");
            return 2;
        }
    }
    printf("%7s  %9s  %6s  %9s  %9s  %8s  %10s\n", "routers", "fleet s", "ratio", "tool s",
           "peak MiB", "CPU s", "lab CPU s");
    double one = 0;
    for (int count : counts) {
        std::vector<double> fleet, tool, cpu, lab_cpu;
        long peak = 0;
        for (int r = 0; r < rounds; ++r) {
            FleetFigures figures = run_fleet_of(count, packages);
            if (!figures.ok) return 1;
            fleet.push_back(figures.fleet_s);
            tool.push_back(figures.tool_s);
            cpu.push_back(figures.cpu_s);
            lab_cpu.push_back(figures.lab_cpu_s);
            peak = std::max(peak, figures.peak_kib);
        }
        double time = median(fleet);
        if (count == counts.front()) one = time;
        printf("%7d  %9.2f  %6.2f  %9.2f  %9.1f  %8.2f  %10.2f\n", count, time,
               one > 0 ? time / one : 0, median(tool), static_cast<double>(peak) / 1024.0,
               median(cpu), median(lab_cpu));
        fflush(stdout);
    }
    return 0;
}
