#include "netinstall/router_installer.h"

#include <errno.h>
#include <strings.h>

#include <cstring>
#include <new>

#include "netinstall/key_input.h"
#include "netinstall/router_selection.h"

namespace {

void clear_routers(RouterInstaller& installer) {
    installer.routers = nullptr;
    installer.selected = nullptr;
    installer.router_count = 0;
    memset(installer.index, 0, sizeof installer.index);
}

// The first index slot to look at for mac (FNV-1a over its six bytes).
unsigned index_slot(const uint8_t* mac) {
    uint32_t hash = 2166136261u;
    for (int i = 0; i < MAC_LENGTH; ++i) hash = (hash ^ mac[i]) * 16777619u;
    return hash & (ROUTER_INDEX_SLOTS - 1);
}

}  // namespace

void open_router_installer(RouterInstaller& installer) {
    init_link(installer.link);
    clear_routers(installer);
    list_interfaces(installer.interfaces);
}

bool open_router_installer_on(RouterInstaller& installer, const char* const* names, int count,
                              const char** failed) {
    init_link(installer.link);
    clear_routers(installer);
    return list_named_interfaces(installer.interfaces, names, count, failed) != nullptr;
}

void close_router_installer(RouterInstaller& installer) {
    free_interfaces(installer.interfaces);
    while (installer.routers != nullptr) {
        RouterEntry* next = installer.routers->next;
        delete installer.routers;
        installer.routers = next;
    }
    clear_routers(installer);
}

bool router_list_full(const RouterInstaller& installer) {
    return installer.router_count >= MAX_ROUTERS;
}

RouterEntry* find_router(const RouterInstaller& installer, const uint8_t* mac) {
    // The index is never full (twice the list's bound): an empty slot ends
    // the search.
    for (unsigned slot = index_slot(mac);; slot = (slot + 1) & (ROUTER_INDEX_SLOTS - 1)) {
        RouterEntry* entry = installer.index[slot];
        if (entry == nullptr || same_mac(entry->mac, mac)) return entry;
    }
}

bool record_router(RouterInstaller& installer, NetEndpoint& endpoint, const uint8_t* datagram,
                   int length) {
    if (length < HEADER_SIZE) return false;
    DatagramHeader header = read_header(datagram);
    if (router_list_full(installer) || find_router(installer, header.src_mac) != nullptr)
        return false;
    char label[LABEL_SIZE];
    if (!read_discovery(datagram, length, label)) return false;
    RouterEntry* entry = new (std::nothrow) RouterEntry;
    if (entry == nullptr) return false;
    entry->endpoint = &endpoint;
    memcpy(entry->mac, header.src_mac, MAC_LENGTH);
    memcpy(entry->label, label, LABEL_SIZE);
    entry->next = installer.routers;
    installer.routers = entry;
    unsigned slot = index_slot(entry->mac);
    while (installer.index[slot] != nullptr) slot = (slot + 1) & (ROUTER_INDEX_SLOTS - 1);
    installer.index[slot] = entry;
    if (installer.selected == nullptr) installer.selected = entry;
    installer.router_count++;
    return true;
}

void add_router(RouterInstaller& installer, NetEndpoint& endpoint, const uint8_t* datagram,
                int length) {
    if (record_router(installer, endpoint, datagram, length)) draw_router_list(installer);
}

void select_previous(RouterInstaller& installer) {
    if (installer.selected == nullptr) return;
    for (RouterEntry* entry = installer.routers; entry != nullptr; entry = entry->next) {
        if (entry->next == installer.selected) {
            installer.selected = entry;
            draw_router_list(installer);
            return;
        }
    }
}

void select_next(RouterInstaller& installer) {
    if (installer.selected == nullptr) return;
    if (installer.selected->next != nullptr) installer.selected = installer.selected->next;
    draw_router_list(installer);
}

RouterWait wait_for_routers(RouterInstaller& installer, bool keys, int64_t timeout_us,
                            fd_set& ready) {
    FD_ZERO(&ready);
    bool buffered = keys && key_buffered();
    int highest = 0;
    if (keys) FD_SET(0, &ready);
    for (unsigned i = 0; i < installer.interfaces.count; ++i) {
        int fd = installer.interfaces.endpoints[i]->socket_fd;
        if (fd < 0 || fd >= FD_SETSIZE) continue;
        FD_SET(fd, &ready);
        if (fd > highest) highest = fd;
    }
    timeval limit;
    timeval* until = nullptr;
    if (buffered) timeout_us = 0;
    if (timeout_us >= 0) {
        limit.tv_sec = static_cast<time_t>(timeout_us / 1000000);
        limit.tv_usec = static_cast<suseconds_t>(timeout_us % 1000000);
        until = &limit;
    }
    int result = select(highest + 1, &ready, nullptr, nullptr, until);
    if (result < 0) return RouterWait::failed;
    if (buffered) FD_SET(0, &ready);
    if (result == 0 && !buffered) return RouterWait::timeout;
    return RouterWait::ready;
}

void take_announcements(RouterInstaller& installer, const fd_set& ready, bool draw) {
    uint8_t datagram[RECEIVE_BUFFER_SIZE];
    for (unsigned i = 0; i < installer.interfaces.count; ++i) {
        NetEndpoint& endpoint = *installer.interfaces.endpoints[i];
        if (endpoint.socket_fd < 0 || endpoint.socket_fd >= FD_SETSIZE ||
            !FD_ISSET(endpoint.socket_fd, &ready))
            continue;
        int length = receive_datagram(endpoint, datagram);
        if (length <= 0) continue;
        reset_link(installer.link);
        memcpy(installer.link.own_mac, endpoint.mac, MAC_LENGTH);
        if (!accept_datagram(installer.link, datagram, length)) continue;
        if (draw) {
            add_router(installer, endpoint, datagram, length);
        } else {
            record_router(installer, endpoint, datagram, length);
        }
    }
}

int listen_for_routers(RouterInstaller& installer, int64_t timeout_us) {
    int64_t deadline = now_us() + timeout_us;
    for (;;) {
        int64_t left = deadline - now_us();
        if (left <= 0) break;
        fd_set ready;
        RouterWait wait = wait_for_routers(installer, false, left, ready);
        if (wait == RouterWait::failed && errno != EINTR) break;
        if (wait == RouterWait::ready) take_announcements(installer, ready, false);
    }
    return installer.router_count;
}

RouterEntry* listen_for_router(RouterInstaller& installer, const char* mac, int64_t timeout_us) {
    int64_t deadline = now_us() + timeout_us;
    RouterEntry* chosen = nullptr;
    while (chosen == nullptr) {
        // Newest first: the last one that fits was heard first.
        for (RouterEntry* entry = installer.routers; entry != nullptr; entry = entry->next) {
            if (mac == nullptr || mac[0] == '\0' || strcasecmp(mac, format_mac(entry->mac)) == 0)
                chosen = entry;
        }
        int64_t left = deadline - now_us();
        if (chosen != nullptr || left <= 0) break;
        listen_for_routers(installer, left < 200000 ? left : 200000);
    }
    installer.selected = chosen;
    return chosen;
}
