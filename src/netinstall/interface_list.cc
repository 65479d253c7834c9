#include "netinstall/interface_list.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// The column-heading lines at the top of /proc/net/dev.
constexpr int HEADING_LINES = 2;
constexpr int LINE_SIZE = 256;
// Protocol of the raw socket that serves only for hardware-address queries.
constexpr int QUERY_PROTOCOL = 250;

// Reads one line of the file into line (at most LINE_SIZE - 1 characters).
// The rest of a longer line is skipped, so it still counts as one line.
bool read_line(FILE* file, char* line) {
    if (fgets(line, LINE_SIZE, file) == nullptr) return false;
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') return true;
    int c;
    while ((c = fgetc(file)) != EOF && c != '\n') {
    }
    return true;
}

// The interface name of a line: its first token, cut at the first ':' (the
// counters may follow the ':' without a blank).
void interface_name(const char* line, char* name) {
    name[0] = '\0';
    char token[LINE_SIZE];
    if (sscanf(line, "%255s", token) != 1) return;
    char* colon = strchr(token, ':');
    if (colon != nullptr) *colon = '\0';
    copy_interface_name(name, token);
}

// The hardware address of name, through the query socket.
bool hardware_address(int query_fd, const char* name, uint8_t* mac) {
    ifreq request;
    memset(&request, 0, sizeof request);
    copy_interface_name(request.ifr_name, name);
    if (ioctl(query_fd, SIOCGIFHWADDR, &request) != 0) return false;
    memcpy(mac, request.ifr_hwaddr.sa_data, MAC_LENGTH);
    return true;
}

// Opens an endpoint for name (hardware address mac) into slot; false (and
// the slot left free) when it cannot be opened.
bool add_endpoint(NetEndpoint** endpoints, unsigned slot, const char* name, const uint8_t* mac) {
    NetEndpoint* endpoint = new (std::nothrow) NetEndpoint;
    if (endpoint == nullptr) return false;
    memcpy(endpoint->mac, mac, MAC_LENGTH);
    if (open_endpoint(*endpoint, name, INSTALL_PORT)) {
        endpoints[slot] = endpoint;
        return true;
    }
    close_endpoint(*endpoint);
    delete endpoint;
    endpoints[slot] = nullptr;
    return false;
}

void release_endpoints(NetEndpoint** endpoints, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        close_endpoint(*endpoints[i]);
        delete endpoints[i];
    }
    delete[] endpoints;
}

}  // namespace

NetEndpoint** list_interfaces(InterfaceList& list) {
    return list_interfaces_in(list, "/proc/net/dev");
}

NetEndpoint** list_interfaces_in(InterfaceList& list, const char* device_file) {
    list.count = 0;
    list.endpoints = nullptr;
    FILE* file = fopen(device_file, "r");
    if (file == nullptr) return nullptr;

    char line[LINE_SIZE];
    int lines = 0;
    while (read_line(file, line)) ++lines;
    // Headings alone (or less): nothing to list.
    if (lines <= HEADING_LINES) {
        fclose(file);
        return nullptr;
    }
    unsigned slots = static_cast<unsigned>(lines - HEADING_LINES);
    NetEndpoint** endpoints = new (std::nothrow) NetEndpoint*[slots]();
    if (endpoints == nullptr) {
        fclose(file);
        return nullptr;
    }
    int query_fd = socket(AF_INET, SOCK_RAW, QUERY_PROTOCOL);
    if (query_fd < 0) {
        delete[] endpoints;
        fclose(file);
        return nullptr;
    }

    rewind(file);
    for (int i = 0; i < HEADING_LINES; ++i) read_line(file, line);
    unsigned kept = 0;
    // The file may have grown since it was counted: never more than slots.
    while (kept < slots && read_line(file, line)) {
        char name[INTERFACE_NAME_SIZE];
        interface_name(line, name);
        if (name[0] == '\0') continue;
        uint8_t mac[MAC_LENGTH];
        if (!hardware_address(query_fd, name, mac)) {
            release_endpoints(endpoints, kept);
            close(query_fd);
            fclose(file);
            return nullptr;
        }
        if (mac_is_zero(mac)) continue;
        if (add_endpoint(endpoints, kept, name, mac)) ++kept;
    }
    close(query_fd);
    fclose(file);
    list.count = kept;
    list.endpoints = endpoints;
    return endpoints;
}

NetEndpoint** list_named_interfaces(InterfaceList& list, const char* const* names, int count,
                                    const char** failed) {
    list.count = 0;
    list.endpoints = nullptr;
    if (failed != nullptr) *failed = nullptr;
    if (count <= 0) return nullptr;
    NetEndpoint** endpoints = new (std::nothrow) NetEndpoint*[count]();
    int query_fd = socket(AF_INET, SOCK_RAW, QUERY_PROTOCOL);
    if (endpoints == nullptr || query_fd < 0) {
        delete[] endpoints;
        if (query_fd >= 0) close(query_fd);
        return nullptr;
    }
    unsigned kept = 0;
    for (int i = 0; i < count; ++i) {
        uint8_t mac[MAC_LENGTH];
        if (!hardware_address(query_fd, names[i], mac) || mac_is_zero(mac) ||
            !add_endpoint(endpoints, kept, names[i], mac)) {
            if (failed != nullptr) *failed = names[i];
            release_endpoints(endpoints, kept);
            close(query_fd);
            return nullptr;
        }
        ++kept;
    }
    close(query_fd);
    list.count = kept;
    list.endpoints = endpoints;
    return endpoints;
}

void free_interfaces(InterfaceList& list) {
    if (list.endpoints != nullptr) release_endpoints(list.endpoints, list.count);
    list.endpoints = nullptr;
    list.count = 0;
}

bool has_interfaces(const InterfaceList& list) {
    return list.count != 0;
}

const char* interface_mac_text(const InterfaceList& list, unsigned index) {
    if (index >= list.count) return nullptr;
    return format_mac(list.endpoints[index]->mac);
}
