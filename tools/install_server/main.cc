// brindlex-install-server: the installation server on any Linux machine,
// from a shell, as root, on the interfaces named on its command line only.
// It uses the installer's own server code (router discovery and the
// installation conversation); see usage() and docs/install-protocol.md.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "netinstall/router_installation.h"
#include "netinstall/router_script.h"
#include "netinstall/screen_text.h"
#include "packages/install_order.h"
#include "packages/package_catalogue.h"

namespace {

// Exit statuses.
constexpr int DONE = 0;
constexpr int INSTALLATION_FAILED = 1;
constexpr int USAGE = 2;
constexpr int NO_INTERFACE = 3;
constexpr int NO_ROUTER = 4;
constexpr int NO_PACKAGES = 5;
constexpr int NO_SCRIPT = 6;

void usage() {
    fprintf(stderr,
            "usage: brindlex-install-server --interface NAME [--interface NAME]... COMMAND\n"
            "  --list [--seconds N]\n"
            "      lists the routers that announce themselves within N seconds (5)\n"
            "  --install MAC|first --packages DIR [--package NAME]... [--seconds N]\n"
            "          [--keep | [--address A.B.C.D/BITS] [--gateway A.B.C.D] [--baud N]\n"
            "           | --script FILE]\n"
            "      installs the router with that MAC (or the first heard within N seconds,\n"
            "      60) with the packages of DIR (all, or those named and what they need)\n"
            "      in installation order, and a configuration: the router keeps its own,\n"
            "      gets the script made from the options, or the script FILE.\n"
            "Runs as root. It brings the named interfaces up, in promiscuous mode, and\n"
            "gives one without an IPv4 address 0.0.0.0; it never uses other interfaces.\n"
            "Without a terminal on its standard input it waits for no key: the conversation\n"
            "ends as soon as the installation is sent.\n"
            "Exit status: 0 done, 1 installation failed, 2 usage, 3 an interface cannot\n"
            "be used, 4 no router heard, 5 the packages cannot be read, 6 no script.\n");
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
        } else {
            return false;
        }
        if (takes_value) ++i;
    }
    if (r.interfaces.empty() || r.list == !r.router.empty()) return false;
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

}  // namespace

int main(int argc, char** argv) {
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
    if (!r.list) {
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
