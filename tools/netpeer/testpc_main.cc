// testpc-net: the test PC's driver of the network transport. It runs as
// init on the test PC (never on this machine): loads the network drivers
// the installer loads, lists the kernel's interfaces with their addresses,
// then plays one role of the installation protocol against a peer on the
// emulated segment (see net_peer.h), and powers the PC off. Every line of
// its own begins with "testpc-net: ". Options come as init's arguments:
//   --client ... | --server ... (as brindlex-netpeer), and before them
//   --make-file NAME SIZE (repeatable): a pattern file /tmp/NAME to send.
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net_peer.h"
#include "netinstall/net_endpoint.h"
#include "startup/kernel_modules.h"
#include "startup/process_state.h"

namespace {

[[noreturn]] void power_off() {
    sync();
    printf("testpc-net: end\n");
    fflush(stdout);
    reboot(RB_POWER_OFF);
    for (;;) pause();
}

// Every interface of /proc/net/dev with its hardware and IPv4 address.
void show_interfaces(const char* when) {
    FILE* file = fopen("/proc/net/dev", "r");
    if (file == nullptr) return;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    char line[256];
    for (int n = 0; fgets(line, sizeof line, file) != nullptr; ++n) {
        char name[64];
        if (n < 2 || sscanf(line, " %63[^:]", name) != 1) continue;
        ifreq request = {};
        copy_interface_name(request.ifr_name, name);
        const uint8_t* mac = reinterpret_cast<uint8_t*>(request.ifr_hwaddr.sa_data);
        ioctl(fd, SIOCGIFHWADDR, &request);
        std::string hardware = format_mac(mac);
        request = {};
        copy_interface_name(request.ifr_name, name);
        std::string address = "none";
        if (ioctl(fd, SIOCGIFADDR, &request) == 0)
            address = inet_ntoa(reinterpret_cast<sockaddr_in*>(&request.ifr_addr)->sin_addr);
        printf("testpc-net: %s %s %s address %s\n", when, name, hardware.c_str(), address.c_str());
    }
    close(fd);
    fclose(file);
}

// A file of size bytes that differ from position to position.
bool make_pattern_file(const std::string& path, long size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    uint32_t x = 1;
    for (long i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        fputc(static_cast<int>(x >> 16), f);
    }
    return fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (getpid() != 1) {
        fprintf(stderr, "testpc-net: runs only as init on the test PC\n");
        return 2;
    }
    mkdir("/proc", 0555);
    mount("proc", "/proc", "proc", 0, nullptr);
    mkdir("/tmp", 01777);
    signal(SIGPIPE, SIG_IGN);
    // The module loader's lines go to the log terminal.
    snprintf(log_terminal, sizeof log_terminal, "/dev/tty9");

    int first = 1;
    while (first + 2 < argc && strcmp(argv[first], "--make-file") == 0) {
        std::string path = std::string("/tmp/") + argv[first + 1];
        if (!make_pattern_file(path, atol(argv[first + 2])))
            printf("testpc-net: cannot make %s\n", path.c_str());
        first += 3;
    }
    PeerOptions options;
    options.folder = "/tmp";
    bool server = false;
    if (!parse_peer_options(argc, argv, first, options, server)) {
        printf("testpc-net: usage: %s", PEER_USAGE);
        power_off();
    }
    printf("testpc-net: loading the network drivers\n");
    fflush(stdout);
    load_modules(network_modules);
    show_interfaces("before");
    int result = server ? run_server_peer(options) : run_client_peer(options);
    show_interfaces("after");
    printf("testpc-net: %s result %d\n", server ? "server" : "client", result);
    power_off();
}
