// brindlex-relay: the network lab's hub between emulated network cards and
// tap devices in private namespaces, with seeded faults and a capture file.
// See testpc/README.md ("Network cards and the segment").
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame_relay.h"

namespace {

volatile int stop_requested = 0;

void request_stop(int) {
    stop_requested = 1;
}

void usage() {
    fprintf(stderr,
            "usage: brindlex-relay [faults] [--pcap FILE] PORT...\n"
            "ports:\n"
            "  --unix LOCAL_PATH REMOTE_PATH  a card's dgram back end on Unix sockets\n"
            "  --udp LOCAL_PORT REMOTE_PORT   the same on 127.0.0.1 UDP ports\n"
            "  --segment DIR N                N Unix ports DIR/relay-I.sock <-> DIR/pc-I.sock\n"
            "  --tap NAME NETNS               a tap device made in the private namespace NETNS\n"
            "faults (percentages and milliseconds):\n"
            "  --seed N --drop P --duplicate P --reorder P --reorder-delay MS\n"
            "  --delay MS --jitter MS --drop-frame [PORT:]N[@OFFSET=HEX] (repeatable; frames\n"
            "  count from 1, ports from 0 in the order given; with @OFFSET=HEX only frames\n"
            "  holding those bytes at that offset of the Ethernet frame are counted)\n"
            "Prints \"brindlex-relay: ready\" once the ports are open, runs until SIGTERM or\n"
            "SIGINT, and then prints its counters on standard error.\n");
}

// "[PORT:]N[@OFFSET=HEX]".
bool parse_choice(const char* text, FrameChoice& choice) {
    const char* colon = strchr(text, ':');
    char* end = nullptr;
    if (colon != nullptr) {
        choice.port = static_cast<int>(strtol(text, &end, 10));
        if (end != colon || choice.port < 0) return false;
        text = colon + 1;
    }
    choice.number = strtoull(text, &end, 10);
    if (end == text || choice.number == 0) return false;
    if (*end == '\0') return true;
    if (*end != '@') return false;
    const char* at = end + 1;
    choice.offset = strtoul(at, &end, 10);
    if (end == at || *end != '=') return false;
    const char* hex = end + 1;
    size_t digits = strlen(hex);
    if (digits == 0 || digits % 2 != 0 || strspn(hex, "0123456789abcdefABCDEF") != digits)
        return false;
    for (size_t i = 0; i < digits; i += 2) {
        char byte[3] = {hex[i], hex[i + 1], '\0'};
        choice.match.push_back(static_cast<uint8_t>(strtoul(byte, nullptr, 16)));
    }
    return true;
}

int64_t milliseconds_to_us(const char* text) {
    return static_cast<int64_t>(atof(text) * 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    FaultPlan faults;
    FrameRelay relay;
    std::string pcap_path;
    std::string error;
    // Ports are opened after all options are read, in the order given.
    struct PortOption {
        std::string kind, a, b;
    };
    std::vector<PortOption> ports;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto value = [&](int n) -> bool {
            if (i + n >= argc) {
                fprintf(stderr, "brindlex-relay: %s needs %d value(s)\n", option.c_str(), n);
                return false;
            }
            return true;
        };
        if (option == "--unix" || option == "--udp" || option == "--tap" || option == "--segment") {
            if (!value(2)) return 2;
            ports.push_back({option, argv[i + 1], argv[i + 2]});
            i += 2;
        } else if (option == "--pcap") {
            if (!value(1)) return 2;
            pcap_path = argv[++i];
        } else if (option == "--seed") {
            if (!value(1)) return 2;
            faults.seed = strtoull(argv[++i], nullptr, 10);
        } else if (option == "--drop") {
            if (!value(1)) return 2;
            faults.drop_percent = atof(argv[++i]);
        } else if (option == "--duplicate") {
            if (!value(1)) return 2;
            faults.duplicate_percent = atof(argv[++i]);
        } else if (option == "--reorder") {
            if (!value(1)) return 2;
            faults.reorder_percent = atof(argv[++i]);
        } else if (option == "--reorder-delay") {
            if (!value(1)) return 2;
            faults.reorder_delay_us = milliseconds_to_us(argv[++i]);
        } else if (option == "--delay") {
            if (!value(1)) return 2;
            faults.delay_us = milliseconds_to_us(argv[++i]);
        } else if (option == "--jitter") {
            if (!value(1)) return 2;
            faults.jitter_us = milliseconds_to_us(argv[++i]);
        } else if (option == "--drop-frame") {
            if (!value(1)) return 2;
            FrameChoice choice;
            if (!parse_choice(argv[++i], choice)) {
                fprintf(stderr, "brindlex-relay: bad frame choice %s\n", argv[i]);
                return 2;
            }
            faults.drop_frames.push_back(choice);
        } else {
            usage();
            return 2;
        }
    }
    if (ports.empty()) {
        usage();
        return 2;
    }
    init_relay(relay, faults);
    for (const PortOption& port : ports) {
        bool ok = true;
        if (port.kind == "--unix") {
            ok = add_unix_port(relay, port.a, port.b, error);
        } else if (port.kind == "--udp") {
            ok = add_udp_port(relay, atoi(port.a.c_str()), atoi(port.b.c_str()), error);
        } else if (port.kind == "--tap") {
            ok = add_tap_port(relay, port.a, port.b, error);
        } else {
            int count = atoi(port.b.c_str());
            for (int p = 0; ok && p < count; ++p) {
                ok = add_unix_port(relay, port.a + "/relay-" + std::to_string(p) + ".sock",
                                   port.a + "/pc-" + std::to_string(p) + ".sock", error);
            }
        }
        if (!ok) {
            fprintf(stderr, "brindlex-relay: %s\n", error.c_str());
            close_relay(relay);
            return 1;
        }
    }
    if (!pcap_path.empty() && !open_pcap(relay.pcap, pcap_path.c_str())) {
        fprintf(stderr, "brindlex-relay: cannot write %s\n", pcap_path.c_str());
        close_relay(relay);
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = request_stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    printf("brindlex-relay: ready\n");
    fflush(stdout);
    run_relay(relay, -1, &stop_requested);
    const RelayCounters& c = relay.counters;
    fprintf(
        stderr,
        "brindlex-relay: %llu frames in, %llu forwarded, %llu dropped, %llu duplicated, "
        "%llu reordered\n",
        static_cast<unsigned long long>(c.received), static_cast<unsigned long long>(c.forwarded),
        static_cast<unsigned long long>(c.dropped), static_cast<unsigned long long>(c.duplicated),
        static_cast<unsigned long long>(c.reordered));
    close_relay(relay);
    return 0;
}
