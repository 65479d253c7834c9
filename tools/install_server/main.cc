// brindlex-install-server: the installation server on any Linux machine,
// from a shell, as root, on the interfaces named on its command line only.
// It uses the installer's own server code (router discovery and the
// installation conversation); see HELP and docs/install-protocol.md.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fleet_report.h"
#include "fleet_run.h"
#include "fleet_table.h"
#include "netboot_service.h"
#include "netinstall/router_installation.h"
#include "netinstall/router_script.h"
#include "netinstall/screen_text.h"
#include "packages/install_order.h"
#include "packages/package_catalogue.h"
#include "standard_options.h"

namespace {

// Exit statuses.
constexpr int DONE = 0;
constexpr int INSTALLATION_FAILED = 1;
constexpr int USAGE = 2;
constexpr int NO_INTERFACE = 3;
constexpr int NO_ROUTER = 4;
constexpr int NO_PACKAGES = 5;
constexpr int NO_SCRIPT = 6;
constexpr int NO_DNSMASQ = 7;
constexpr int NO_NETBOOT_TREE = 8;
constexpr int NETBOOT_FAILED = 9;

// What --help prints and usage errors show; the manual page is made from it.
const char* const HELP =
    "Usage: brindlex-install-server --interface NAME... --list [--seconds N]\n"
    "  or:  brindlex-install-server --interface NAME... --install MAC|first --packages DIR "
    "[OPTION]...\n"
    "  or:  brindlex-install-server --interface NAME... --fleet FILE --packages DIR\n"
    "         [--package NAME]... [--seconds N] [--serve] [--report FILE.json]\n"
    "  or:  brindlex-install-server --interface NAME --netboot DIR [--proxy-dhcp] "
    "[--list|--install ...|--fleet ...]\n"
    "The installation server of the Brindlex Router Software on any Linux machine.\n"
    "It lists the routers that announce themselves on the local network (routers\n"
    "booted for a network installation), or installs one: it sends the packages of\n"
    "DIR (all, or those named and what they need) in installation order, and a\n"
    "configuration: the router keeps its own, gets the script made from the\n"
    "options, or the script FILE. It prints the installer's own progress lines.\n"
    "Or it installs a fleet: every router of the table FILE that announces itself,\n"
    "all at the same time, each with its own configuration.\n"
    "\n"
    "It runs as root. It brings the named interfaces up, in promiscuous mode, and\n"
    "gives one without an IPv4 address 0.0.0.0; it never uses other interfaces.\n"
    "Without a terminal on its standard input it waits for no key: the conversation\n"
    "ends as soon as the installation is sent.\n"
    "\n"
    "With --netboot it also serves the network boot image DIR (brindlex-make-netboot)\n"
    "to routers that boot from the network (PXE), for as long as it runs: Debian's\n"
    "dnsmasq answers them on the one interface named, over DHCP and TFTP (no DNS).\n"
    "By default it is the segment's DHCP server: the interface gets the address\n"
    "192.168.253.1/24 while it runs, and routers get 192.168.253.100 to .199;\n"
    "with --proxy-dhcp it only adds the boot answers beside the segment's own DHCP\n"
    "server, on the network of the interface's address. dnsmasq's lines are shown\n"
    "with the prefix \"netboot: \". With none of --list, --install and --fleet it\n"
    "serves until it is stopped (Ctrl-C, SIGTERM); dnsmasq is stopped and the\n"
    "address taken back however the server ends.\n"
    "\n"
    "Options:\n"
    "  --interface NAME      use the network interface NAME; repeat it for more\n"
    "  --list                list the routers heard within the seconds given\n"
    "  --install MAC|first   install the router with that MAC address, or the\n"
    "                        first one heard within the seconds given\n"
    "  --packages DIR        the directory of package files to install\n"
    "  --package NAME        install only NAME and what it needs; repeat it for more\n"
    "  --seconds N           how long to listen for routers (--list 5, --install 60)\n"
    "  --keep                the router keeps its own configuration\n"
    "  --address A.B.C.D/BITS\n"
    "                        the router's address on the card it announced itself on\n"
    "  --gateway A.B.C.D     the router's default gateway\n"
    "  --baud N              the router's serial console speed\n"
    "  --script FILE         send FILE as the router's configuration script\n"
    "  --netboot DIR         serve the network boot image DIR on the interface\n"
    "  --proxy-dhcp          with --netboot: the segment has a DHCP server already\n"
    "  --fleet FILE          install the routers of the table FILE, one a line:\n"
    "                          MAC keep\n"
    "                          MAC address A.B.C.D/BITS [gateway G] [baud N]\n"
    "                          MAC script PATH\n"
    "                        a '*' line configures the routers not listed (without\n"
    "                        it they are left alone); '#' begins a comment. The run\n"
    "                        ends when every listed router is done or failed, or\n"
    "                        after the seconds given (default 60: no new routers\n"
    "                        then; those never heard are missing)\n"
    "  --serve               with --fleet: go on installing routers as they appear\n"
    "                        until SIGINT or SIGTERM\n"
    "  --report FILE.json    with --fleet: write the results as JSON into FILE\n"
    "  -h, --help            print this help and exit\n"
    "  --version             print the version and exit\n"
    "At most one of --keep, --script FILE and the script options --address,\n"
    "--gateway and --baud; none of them with --list or --fleet.\n"
    "\n"
    "Exit status:\n"
    "  0   done (with --fleet: every listed router installed)\n"
    "  1   the installation failed (with --fleet: a router failed or is missing)\n"
    "  2   bad arguments, or a bad line in the fleet table\n"
    "  3   an interface cannot be used\n"
    "  4   no router heard\n"
    "  5   the packages cannot be read\n"
    "  6   the script cannot be read\n"
    "  7   --netboot: there is no dnsmasq\n"
    "  8   --netboot: DIR holds no pxelinux.0\n"
    "  9   --netboot: dnsmasq could not serve, or ended\n"
    "  128+N  stopped by signal N (with --netboot)\n";

void usage() {
    fputs(HELP, stderr);
}

// What the command line asks for.
struct Request {
    std::vector<const char*> interfaces;
    bool list = false;
    std::string router;  // the MAC text, or "first"
    std::string packages;
    std::vector<std::string> names;
    int seconds = -1;
    bool keep = false;
    bool configured = false;  // an address, gateway or baud option was given
    in_addr address = {};
    unsigned long prefix_bits = 0;
    in_addr gateway = {};
    unsigned long baud = 0;
    std::string script_file;
    std::string netboot;  // the network boot image to serve, or empty
    bool proxy = false;   // --proxy-dhcp
    std::string fleet;    // the fleet table
    bool serve = false;   // --serve
    std::string report;   // the JSON report of a fleet run
};

bool digits(const char* text, unsigned long limit, unsigned long& value) {
    if (*text == '\0' || strspn(text, "0123456789") != strlen(text) || strlen(text) > 10)
        return false;
    value = strtoul(text, nullptr, 10);
    return value <= limit;
}

bool parse(int argc, char** argv, Request& r) {
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool takes_value = true;
        if (option == "--list") {
            r.list = true;
            takes_value = false;
        } else if (option == "--keep") {
            r.keep = true;
            takes_value = false;
        } else if (option == "--proxy-dhcp") {
            r.proxy = true;
            takes_value = false;
        } else if (option == "--serve") {
            r.serve = true;
            takes_value = false;
        } else if (value == nullptr) {
            return false;
        } else if (option == "--interface") {
            r.interfaces.push_back(value);
        } else if (option == "--install") {
            r.router = value;
        } else if (option == "--packages") {
            r.packages = value;
        } else if (option == "--package") {
            r.names.push_back(value);
        } else if (option == "--seconds") {
            unsigned long seconds;
            if (!digits(value, 86400, seconds)) return false;
            r.seconds = static_cast<int>(seconds);
        } else if (option == "--address") {
            std::string text = value;
            size_t slash = text.find('/');
            if (slash == std::string::npos ||
                inet_aton(text.substr(0, slash).c_str(), &r.address) == 0 ||
                !digits(text.c_str() + slash + 1, MAX_PREFIX_BITS, r.prefix_bits))
                return false;
            r.configured = true;
        } else if (option == "--gateway") {
            if (inet_aton(value, &r.gateway) == 0) return false;
            r.configured = true;
        } else if (option == "--baud") {
            if (!digits(value, MAX_NUMBER_ANSWER, r.baud)) return false;
            r.configured = true;
        } else if (option == "--script") {
            r.script_file = value;
        } else if (option == "--netboot") {
            r.netboot = value;
        } else if (option == "--fleet") {
            r.fleet = value;
        } else if (option == "--report") {
            r.report = value;
        } else {
            return false;
        }
        if (takes_value) ++i;
    }
    if (r.interfaces.empty()) return false;
    if (r.proxy && r.netboot.empty()) return false;
    // The network boot service is the segment's server on one interface.
    if (!r.netboot.empty() && r.interfaces.size() != 1) return false;
    if (!r.fleet.empty())
        return !r.list && r.router.empty() && !r.packages.empty() && !r.keep && !r.configured &&
               r.script_file.empty();
    if (r.serve || !r.report.empty()) return false;
    // With --netboot alone the server only serves the boot image.
    if (!r.netboot.empty() && !r.list && r.router.empty())
        return r.packages.empty() && r.names.empty() && !r.keep && !r.configured &&
               r.script_file.empty() && r.seconds < 0;
    if (r.list == !r.router.empty()) return false;
    if (r.list)
        return r.packages.empty() && r.names.empty() && !r.keep && !r.configured &&
               r.script_file.empty();
    int configurations =
        (r.keep ? 1 : 0) + (r.configured ? 1 : 0) + (r.script_file.empty() ? 0 : 1);
    return !r.packages.empty() && configurations <= 1;
}

// The packages of the directory in installation order: all, or those named
// with what they need.
bool package_paths(const Request& r, std::vector<std::string>& paths) {
    PackageList list;
    init_package_list(list, r.packages.c_str());
    if (!scan_packages(list, r.names.empty())) return false;
    bool found = true;
    for (const std::string& name : r.names) {
        int index = find_package(list, name.c_str());
        if (index < 0) {
            fprintf(stderr, "brindlex-install-server: no package %s in %s\n", name.c_str(),
                    r.packages.c_str());
            found = false;
        } else {
            list.entries[index].selected = true;
        }
    }
    InstallOrder order;
    bool ordered = found && build_install_order(order, list);
    if (ordered) {
        char path[PACKAGE_PATH_SIZE];
        while (next_package_path(order, path)) paths.push_back(path);
        free_install_order(order);
    }
    free_package_list(list);
    return ordered;
}

bool read_script(const std::string& path, std::string& script) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) script.append(buffer, n);
    bool read = ferror(file) == 0;
    fclose(file);
    // The script goes as a text: it ends at its first NUL byte.
    script.resize(strlen(script.c_str()));
    return read;
}

const char* interface_of(const Request& r, const RouterInstaller& installer,
                         const NetEndpoint* endpoint) {
    for (unsigned i = 0; i < installer.interfaces.count; ++i)
        if (installer.interfaces.endpoints[i] == endpoint) return r.interfaces[i];
    return "?";
}

// A router's label as the installer's own list shows it.
std::string shown_label(const RouterEntry* router) {
    char label[LABEL_SIZE];
    screen_text(router->label, label, sizeof label);
    return label;
}

// Lists or installs routers as the request says; the exit status.
int serve(const Request& r, const std::vector<std::string>& paths, std::string script) {
    RouterInstaller installer;
    const char* failed = nullptr;
    if (!open_router_installer_on(installer, r.interfaces.data(),
                                  static_cast<int>(r.interfaces.size()), &failed)) {
        fprintf(stderr, "brindlex-install-server: cannot use the interface %s (root needed)\n",
                failed != nullptr ? failed : "?");
        return NO_INTERFACE;
    }
    printf("Looking for routers on %u %s...\n", installer.interfaces.count,
           installer.interfaces.count == 1 ? "interface" : "interfaces");
    fflush(stdout);

    if (r.list) {
        int found = listen_for_routers(installer, int64_t{r.seconds < 0 ? 5 : r.seconds} * 1000000);
        printf("Found %d %s%s\n", found, found == 1 ? "router" : "routers", found > 0 ? ":" : "");
        for (RouterEntry* entry = installer.routers; entry != nullptr; entry = entry->next)
            printf(" %s (%s) on %s\n", format_mac(entry->mac), shown_label(entry).c_str(),
                   interface_of(r, installer, entry->endpoint));
        if (router_list_full(installer)) printf("%s\n", ROUTER_LIST_FULL);
        close_router_installer(installer);
        return found > 0 ? DONE : NO_ROUTER;
    }

    const char* wanted = r.router == "first" ? nullptr : r.router.c_str();
    RouterEntry* router =
        listen_for_router(installer, wanted, int64_t{r.seconds < 0 ? 60 : r.seconds} * 1000000);
    if (router == nullptr) {
        printf("No router heard\n");
        close_router_installer(installer);
        return NO_ROUTER;
    }
    printf("Installing router %s (%s) on %s\n", format_mac(router->mac),
           shown_label(router).c_str(), interface_of(r, installer, router->endpoint));
    if (r.configured)
        script = build_router_script(router->mac, r.address, r.prefix_bits, r.gateway, r.baud);
    bool installed = send_installation(installer, paths, r.keep, script.c_str());
    close_router_installer(installer);
    return installed ? DONE : INSTALLATION_FAILED;
}

// The file name of a package path.
std::string base_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The fleet table, the packages and every script of a fleet run, read
// before anything is sent; DONE, or the exit status of what is wrong.
int prepare_fleet(const Request& r, FleetOptions& options) {
    std::string error;
    if (!read_fleet_table(options.table, r.fleet, error)) {
        fprintf(stderr, "brindlex-install-server: %s\n", error.c_str());
        return USAGE;
    }
    if (!package_paths(r, options.paths)) return NO_PACKAGES;
    long longest = 0;
    std::vector<const FleetEntry*> lines;
    for (const FleetEntry& entry : options.table.routers) lines.push_back(&entry);
    if (options.table.has_default) lines.push_back(&options.table.unlisted);
    for (const FleetEntry* entry : lines) {
        const FleetConfig& config = entry->config;
        long length = 0;
        if (config.kind == FleetConfig::address) length = ROUTER_SCRIPT_SIZE - 1;
        if (config.kind == FleetConfig::script && !options.scripts.count(config.script_path)) {
            std::string script;
            if (!read_script(config.script_path, script)) {
                fprintf(stderr, "brindlex-install-server: cannot read the script %s (line %d)\n",
                        config.script_path.c_str(), entry->line);
                return NO_SCRIPT;
            }
            options.scripts[config.script_path] = script;
        }
        if (config.kind == FleetConfig::script)
            length = static_cast<long>(options.scripts[config.script_path].size());
        if (length > longest) longest = length;
    }
    if (!installation_fits(options.paths, longest)) {
        puts("FATAL ERROR: Packages too large for one network installation");
        return INSTALLATION_FAILED;
    }
    options.seconds = r.seconds >= 0 ? r.seconds : (r.serve ? -1 : 60);
    options.serve = r.serve;
    return DONE;
}

// The fleet run with its summary and report; the exit status.
int install_fleet(const Request& r, const FleetOptions& options) {
    InterfaceList interfaces;
    const char* failed = nullptr;
    if (list_named_interfaces(interfaces, r.interfaces.data(),
                              static_cast<int>(r.interfaces.size()), &failed) == nullptr) {
        fprintf(stderr, "brindlex-install-server: cannot use the interface %s (root needed)\n",
                failed != nullptr ? failed : "?");
        return NO_INTERFACE;
    }
    printf("Looking for routers on %u %s...\n", interfaces.count,
           interfaces.count == 1 ? "interface" : "interfaces");
    printf("Fleet of %zu %s%s, %zu %s each\n", options.table.routers.size(),
           options.table.routers.size() == 1 ? "router" : "routers",
           options.table.has_default ? " and every other router" : "", options.paths.size(),
           options.paths.size() == 1 ? "package" : "packages");
    fflush(stdout);

    FleetDisplay display;
    display.terminal = isatty(1) != 0;
    display.package_count = static_cast<int>(options.paths.size());
    std::vector<FleetRouter> routers = run_fleet(interfaces, options, display);
    free_interfaces(interfaces);
    bool all = print_fleet_summary(routers, display.package_count);
    if (display.crowded) {
        puts(FLEET_CROWDED);
        fflush(stdout);
    }
    if (!r.report.empty()) {
        std::vector<std::string> names;
        for (const std::string& path : options.paths) names.push_back(base_name(path));
        std::string json = fleet_report_json(routers, names);
        FILE* file = fopen(r.report.c_str(), "w");
        bool written = file != nullptr && fwrite(json.data(), 1, json.size(), file) == json.size();
        if (file != nullptr && fclose(file) != 0) written = false;
        if (!written) {
            fprintf(stderr, "brindlex-install-server: cannot write the report %s\n",
                    r.report.c_str());
            return INSTALLATION_FAILED;
        }
    }
    return all ? DONE : INSTALLATION_FAILED;
}

// The signal that stops the network boot service, or 0.
volatile sig_atomic_t stop_signal = 0;

void note_stop_signal(int signal) {
    stop_signal = signal;
}

// Runs the network boot service for as long as the server runs: the
// listing or installation (when asked for) goes on in a child process
// while this one relays dnsmasq's lines and waits for the end, a signal
// or dnsmasq's failure; dnsmasq is stopped on every way out.
int serve_with_netboot(const Request& r, const std::vector<std::string>& paths,
                       const std::string& script, const FleetOptions* fleet,
                       const NetbootSettings& settings, const NetbootPlan& plan) {
    struct sigaction action = {};
    action.sa_handler = note_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    termios terminal;
    bool on_terminal = isatty(0) && tcgetattr(0, &terminal) == 0;

    NetbootService service;
    std::string error;
    if (!start_netboot(service, settings, plan, error)) {
        fprintf(stderr, "brindlex-install-server: %s\n", error.c_str());
        return stop_signal != 0 ? 128 + stop_signal : NETBOOT_FAILED;
    }
    printf("Serving the network boot image %s on %s\n", settings.tree.c_str(),
           settings.interface.c_str());
    fflush(stdout);

    int status = DONE;
    pid_t worker = -1;
    if (r.list || !r.router.empty() || fleet != nullptr) {
        worker = fork();
        if (worker < 0) {
            fprintf(stderr, "brindlex-install-server: cannot fork\n");
            status = INSTALLATION_FAILED;
        } else if (worker == 0) {
            action.sa_handler = SIG_DFL;
            for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
            close(service.output_fd);
            int code = stop_signal != 0   ? 128 + stop_signal
                       : fleet != nullptr ? install_fleet(r, *fleet)
                                          : serve(r, paths, script);
            fflush(nullptr);
            _exit(code);
        }
    }
    while (stop_signal == 0 && status == DONE) {
        if (worker > 0) {
            int raw = 0;
            if (waitpid(worker, &raw, WNOHANG) == worker) {
                worker = -1;
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                break;
            }
        }
        if (!relay_netboot_output(service, 200)) {
            fprintf(stderr, "brindlex-install-server: dnsmasq ended\n");
            status = NETBOOT_FAILED;
        }
    }
    if (worker > 0) {
        kill(worker, SIGTERM);
        while (waitpid(worker, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    stop_netboot(service);
    if (on_terminal) tcsetattr(0, TCSANOW, &terminal);
    if (stop_signal != 0) {
        fprintf(stderr, "brindlex-install-server: stopped by signal %d\n",
                static_cast<int>(stop_signal));
        return 128 + stop_signal;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = answer_standard_option(argc, argv, "brindlex-install-server", HELP);
        status >= 0)
        return status;
    Request r;
    if (!parse(argc, argv, r)) {
        usage();
        return USAGE;
    }
    // Keys come from a terminal only: a standard input that is none (a
    // pipe nobody writes to, say) must not hold the tool for ever at
    // "press any key" or "Press ENTER to reboot". It reads as ended, which
    // those prompts take as the key at once.
    if (!isatty(0)) {
        int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (nothing < 0 || dup2(nothing, 0) < 0) {
            fprintf(stderr, "brindlex-install-server: cannot read /dev/null\n");
            return INSTALLATION_FAILED;
        }
        if (nothing != 0) close(nothing);
    }
    std::vector<std::string> paths;
    std::string script;
    if (!r.router.empty()) {
        if (!package_paths(r, paths)) return NO_PACKAGES;
        if (!r.script_file.empty() && !read_script(r.script_file, script)) {
            fprintf(stderr, "brindlex-install-server: cannot read the script %s\n",
                    r.script_file.c_str());
            return NO_SCRIPT;
        }
        if (!installation_fits(
                paths, r.configured ? ROUTER_SCRIPT_SIZE - 1 : static_cast<long>(script.size()))) {
            puts("FATAL ERROR: Packages too large for one network installation");
            return INSTALLATION_FAILED;
        }
    }

    FleetOptions fleet;
    if (!r.fleet.empty()) {
        int status = prepare_fleet(r, fleet);
        if (status != DONE) return status;
        if (r.netboot.empty()) return install_fleet(r, fleet);
    }
    if (r.netboot.empty()) return serve(r, paths, script);
    NetbootSettings settings;
    settings.tree = r.netboot;
    settings.interface = r.interfaces.front();
    settings.proxy = r.proxy;
    NetbootPlan plan;
    std::string error;
    NetbootCheck check = check_netboot(settings, plan, error);
    if (check != NetbootCheck::READY) {
        fprintf(stderr, "brindlex-install-server: %s\n", error.c_str());
        switch (check) {
            case NetbootCheck::NO_DNSMASQ:
                return NO_DNSMASQ;
            case NetbootCheck::NO_LOADER:
                return NO_NETBOOT_TREE;
            case NetbootCheck::NO_INTERFACE:
            case NetbootCheck::NO_SUBNET:
            case NetbootCheck::READY:
                break;
        }
        return NO_INTERFACE;
    }
    return serve_with_netboot(r, paths, script, r.fleet.empty() ? nullptr : &fleet, settings, plan);
}
