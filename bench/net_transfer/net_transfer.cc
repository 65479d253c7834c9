// File transfer over the network lab, in one run (root; everything inside
// private namespaces):
//   - a veth pair between two namespaces: the round trip of a 20-byte
//     datagram (the stop-and-wait bound is 1452 bytes per round trip), our
//     sender and receiver on a file of --size MiB, and tftp-hpa's server
//     with curl asking for blocks of 1452 bytes on the same file;
//   - the same two through the lab's relay losing 5 % of the frames (one
//     seed, one round), on a file of --lossy-kib KiB (0: left out). curl
//     does not acknowledge a repeated block again, so each lost
//     acknowledgement costs it seconds: keep this file small.
// Rounds take turns (ours first, then theirs first); medians are reported
// with the ratios: ours / tftp-hpa and ours / bound. in.tftpd runs with
// -T 20000: its first retransmission after 20 ms, like our first block's.
//
//   bench_net_transfer --tftpd PATH [--size 20] [--lossy-kib 512] [--rounds 3]
//
// PATH is tftp-hpa's in.tftpd, e.g. from bench/net_transfer/fetch_tftpd.sh
// (its libwrap beside it in ../../../lib is found by itself).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "netinstall/client_conversation.h"
#include "netinstall/netinstall_test_support.h"

namespace {

const char SERVER_ADDRESS[] = "10.77.0.1";
const char CLIENT_ADDRESS[] = "10.77.0.2";

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The number printed after "key " in a child's output.
double value_after(const std::string& output, const std::string& key) {
    size_t at = output.find(key + " ");
    return at == std::string::npos ? -1 : atof(output.c_str() + at + key.size() + 1);
}

bool addresses(const NetNamespace& server, const NetNamespace& client) {
    return run_ip(server, {"address", "add", std::string(SERVER_ADDRESS) + "/24", "dev", "srv0"}) &&
           run_ip(client, {"address", "add", std::string(CLIENT_ADDRESS) + "/24", "dev", "cli0"}) &&
           run_ip(server, {"link", "set", "srv0", "up"}) &&
           run_ip(client, {"link", "set", "cli0", "up"}) &&
           run_ip(server, {"link", "set", "lo", "up"});
}

// Median round trip, in microseconds, of a 20-byte datagram between the
// two endpoints.
double round_trip_us(const NetNamespace& server, const NetNamespace& client) {
    LabProcess echo, pinger;
    start_in_namespace(echo, client, [] {
        NetEndpoint endpoint = open_or_exit("cli0", CLIENT_MAC);
        printf("ready\n");
        fflush(stdout);
        uint8_t buffer[RECEIVE_BUFFER_SIZE];
        for (;;) {
            int length = wait_datagram(endpoint, buffer, 3000000);
            if (length < 0) return 0;
            if (length == HEADER_SIZE && same_mac(buffer, SERVER_MAC)) {
                memcpy(buffer, CLIENT_MAC, MAC_LENGTH);
                send_datagram(endpoint, buffer, HEADER_SIZE);
            }
        }
    });
    wait_for_output(echo, "ready\n", 10000);
    start_in_namespace(pinger, server, [] {
        NetEndpoint endpoint = open_or_exit("srv0", SERVER_MAC);
        LinkState link, unused;
        started_links(link, unused);
        uint8_t ping[HEADER_SIZE], buffer[RECEIVE_BUFFER_SIZE];
        std::vector<double> times;
        for (int i = 0; i < 3000; ++i) {
            build_header(link, ping, 0, true, KIND_TEXT);
            int64_t start = now_us();
            send_datagram(endpoint, ping, HEADER_SIZE);
            for (;;) {
                int length = wait_datagram(endpoint, buffer, 1000000);
                if (length < 0) break;
                if (same_mac(buffer, CLIENT_MAC)) {
                    if (i >= 100) times.push_back(static_cast<double>(now_us() - start));
                    break;
                }
            }
        }
        printf("rtt %.2f\n", median(times));
        return 0;
    });
    finish_processes({&echo, &pinger}, 120000);
    return value_after(pinger.output, "rtt");
}

// Seconds our sender takes for the file at path (the receiver discards).
double ours(const NetNamespace& server, const NetNamespace& client, const std::string& path) {
    LabProcess receiver, sender;
    start_in_namespace(receiver, client, [] {
        InstallClient installer;
        LinkState server_side;
        started_links(server_side, installer.link);
        NetEndpoint endpoint = open_or_exit("cli0", CLIENT_MAC);
        installer.server_endpoint = &endpoint;
        create_file_receiver(installer);
        printf("ready\n");
        fflush(stdout);
        char name[NEXT_FILE_NAME_SIZE];
        int size = 0;
        if (!next_file(installer, name, size)) return 1;
        static uint8_t data[4096];
        long long total = 0;
        int n;
        while ((n = receive_file_data(*installer.receiver, data, sizeof data)) > 0) total += n;
        printf("received %lld\n", total);
        close_install_client(installer);
        return total == size ? 0 : 2;
    });
    wait_for_output(receiver, "ready\n", 10000);
    start_in_namespace(sender, server, [path] {
        int64_t start = now_us();
        int result = send_one_file(path);
        printf("seconds %.4f\n", static_cast<double>(now_us() - start) / 1e6);
        return result;
    });
    finish_processes({&receiver, &sender}, 600000);
    if (exit_code(receiver) != 0 || exit_code(sender) != 0) {
        fprintf(stderr, "bench_net_transfer: our transfer failed:\n%s%s", sender.output.c_str(),
                receiver.output.c_str());
        exit(1);
    }
    return value_after(sender.output, "seconds");
}

// Seconds curl takes to fetch name from in.tftpd serving folder.
double tftp(const NetNamespace& server, const NetNamespace& client, const std::string& tftpd,
            const std::string& folder, const std::string& name) {
    LabProcess daemon, fetcher;
    start_in_namespace(daemon, server, [tftpd, folder] {
        std::string libraries = tftpd.substr(0, tftpd.rfind("/root/")) + "/lib";
        setenv("LD_LIBRARY_PATH", libraries.c_str(), 1);
        std::string address = std::string(SERVER_ADDRESS) + ":69";
        // Its first retransmission after 20 ms, like our first block's.
        execl(tftpd.c_str(), "in.tftpd", "-L", "-s", "-T", "20000", "-a", address.c_str(),
              folder.c_str(), static_cast<char*>(nullptr));
        return 127;
    });
    usleep(300000);
    std::string url = std::string("tftp://") + SERVER_ADDRESS + "/" + name;
    start_in_namespace(fetcher, client, [url] {
        int64_t start = now_us();
        pid_t child = fork();
        if (child == 0) {
            execlp("curl", "curl", "-s", "-S", "--tftp-blksize", "1452", "-o", "/dev/null",
                   url.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        printf("seconds %.4f\n", static_cast<double>(now_us() - start) / 1e6);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    });
    finish_processes({&fetcher}, 600000);
    kill(daemon.pid, SIGTERM);
    finish_processes({&daemon}, 5000);
    if (exit_code(fetcher) != 0) {
        fprintf(stderr, "bench_net_transfer: the tftp fetch failed:\n%s%s", fetcher.output.c_str(),
                daemon.output.c_str());
        exit(1);
    }
    return value_after(fetcher.output, "seconds");
}

// Goodput in MB/s of ours and tftp-hpa's, taking turns.
void compare(const NetNamespace& server, const NetNamespace& client, const std::string& tftpd,
             const FileFolder& folder, const std::string& name, double megabytes, int rounds,
             double& ours_mb_s, double& tftp_mb_s) {
    std::vector<double> a, b;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            a.push_back(megabytes / ours(server, client, folder.path + "/" + name));
            b.push_back(megabytes / tftp(server, client, tftpd, folder.path, name));
        } else {
            b.push_back(megabytes / tftp(server, client, tftpd, folder.path, name));
            a.push_back(megabytes / ours(server, client, folder.path + "/" + name));
        }
    }
    ours_mb_s = median(a);
    tftp_mb_s = median(b);
}

}  // namespace

int main(int argc, char** argv) {
    std::string tftpd;
    int size_mib = 20, lossy_kib = 512, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--tftpd") tftpd = argv[i + 1];
        if (option == "--size") size_mib = atoi(argv[i + 1]);
        if (option == "--lossy-kib") lossy_kib = atoi(argv[i + 1]);
        if (option == "--rounds") rounds = atoi(argv[i + 1]);
    }
    if (tftpd.empty() || access(tftpd.c_str(), X_OK) != 0) {
        fprintf(stderr,
                "usage: bench_net_transfer --tftpd PATH [--size MiB] [--lossy-kib KiB] "
                "[--rounds N]\n  (PATH from bench/net_transfer/fetch_tftpd.sh DIR)\n");
        return 2;
    }
    FileFolder folder;
    chmod(folder.path.c_str(), 0755);  // in.tftpd reads as nobody
    folder.make("big.bin", static_cast<size_t>(size_mib) << 20);
    folder.make("lossy.bin", static_cast<size_t>(lossy_kib) << 10, 2);
    chmod((folder.path + "/big.bin").c_str(), 0644);
    chmod((folder.path + "/lossy.bin").c_str(), 0644);
    const double MB = 1e6;

    Cable cable;
    if (!cable.ok || !addresses(cable.server, cable.client)) {
        fprintf(stderr, "bench_net_transfer: cannot make the namespaces (root needed)\n");
        return 1;
    }
    double rtt = round_trip_us(cable.server, cable.client);
    double bound = MAX_BLOCK / rtt;  // bytes per microsecond = MB/s
    double ours_clean, tftp_clean;
    compare(cable.server, cable.client, tftpd, folder, "big.bin",
            static_cast<double>(size_mib << 20) / MB, rounds, ours_clean, tftp_clean);
    printf("veth pair between two private namespaces, %d MiB, median of %d rounds:\n", size_mib,
           rounds);
    printf("  round trip of a 20-byte datagram: %.1f us -> stop-and-wait bound %.2f MB/s\n", rtt,
           bound);
    printf("  ours:     %7.2f MB/s = %.2f x tftp-hpa, %.0f %% of the bound\n", ours_clean,
           ours_clean / tftp_clean, 100 * ours_clean / bound);
    printf("  tftp-hpa: %7.2f MB/s (curl, blksize 1452)\n", tftp_clean);
    fflush(stdout);

    if (lossy_kib == 0) return 0;
    FaultPlan faults;
    faults.seed = 5;
    faults.drop_percent = 5;
    RelayedCable lossy(faults);
    if (!lossy.ok || !addresses(lossy.server, lossy.client)) {
        fprintf(stderr, "bench_net_transfer: cannot make the relayed cable\n");
        return 1;
    }
    double ours_lossy, tftp_lossy;
    compare(lossy.server, lossy.client, tftpd, folder, "lossy.bin",
            static_cast<double>(lossy_kib << 10) / MB, 1, ours_lossy, tftp_lossy);
    printf("through the relay losing 5 %% of the frames, %d KiB, one round:\n", lossy_kib);
    printf("  ours:     %7.3f MB/s = %.2f x tftp-hpa\n", ours_lossy, ours_lossy / tftp_lossy);
    printf("  tftp-hpa: %7.3f MB/s\n", tftp_lossy);
    return 0;
}
