// The server's side of the network installation, first step: the routers
// that announce themselves on any of this machine's interfaces, gathered in
// a list (newest first, one entry per MAC) with the one the operator
// highlights. Listening is passive: nothing is sent.
#pragma once

#include <sys/select.h>

#include <cstdint>

#include "netinstall/interface_list.h"
#include "netinstall/link_state.h"
#include "netinstall/protocol_messages.h"

// One router that announced itself.
struct RouterEntry {
    NetEndpoint* endpoint = nullptr;  // where its first announcement arrived; all traffic uses it
    uint8_t mac[MAC_LENGTH] = {};     // its MAC (src_mac of the announcement)
    char label[LABEL_SIZE] = {};      // its disk label, from its first announcement
    RouterEntry* next = nullptr;      // the next older entry
};

// The list holds at most this many routers: a segment full of announcing
// machines (or of forged announcements) can neither exhaust the memory nor
// flood the screen. Once it is full, further routers are not listed, and
// the list says so.
constexpr int MAX_ROUTERS = 100;
// The slots of the index by MAC: a power of two, at least twice the list.
constexpr int ROUTER_INDEX_SLOTS = 256;
static_assert((ROUTER_INDEX_SLOTS & (ROUTER_INDEX_SLOTS - 1)) == 0 &&
                  ROUTER_INDEX_SLOTS >= 2 * MAX_ROUTERS,
              "the index is a power of two and never more than half full");

// The server's state for one remote installation.
struct RouterInstaller {
    InterfaceList interfaces;         // every usable interface
    LinkState link;                   // the server's side of the conversation
    RouterEntry* routers = nullptr;   // newest first
    RouterEntry* selected = nullptr;  // the highlighted router
    int router_count = 0;
    // Every entry once, by MAC (open addressing, linear probing; entries
    // only come, and all go at once): an announcement of a listed router
    // is recognised without walking the list.
    RouterEntry* index[ROUTER_INDEX_SLOTS] = {};
};

// The line under a full list.
constexpr char ROUTER_LIST_FULL[] = "Router list full: further routers are not listed";

// Whether the list holds MAX_ROUTERS routers.
bool router_list_full(const RouterInstaller& installer);

// A fresh link, no routers, and every usable interface listed (possibly
// none).
void open_router_installer(RouterInstaller& installer);

// The same on the interfaces named only; false (nothing open, the failing
// name in *failed) when one of them cannot be used.
bool open_router_installer_on(RouterInstaller& installer, const char* const* names, int count,
                              const char** failed);

// Frees the interfaces and every entry.
void close_router_installer(RouterInstaller& installer);

// Lists the sender of a datagram of length bytes, accepted on endpoint, when
// it is a router's announcement by the discovery rules, its MAC is not
// listed yet and the list is not full: at the head, selected if nothing
// is, and the list drawn.
void add_router(RouterInstaller& installer, NetEndpoint& endpoint, const uint8_t* datagram,
                int length);

// The same without drawing; whether the router was added.
bool record_router(RouterInstaller& installer, NetEndpoint& endpoint, const uint8_t* datagram,
                   int length);

// Moves the highlight to the newer entry (nothing at the top) or the older
// one (redrawn even at the bottom).
void select_previous(RouterInstaller& installer);
void select_next(RouterInstaller& installer);

// The entry with mac, or null.
RouterEntry* find_router(const RouterInstaller& installer, const uint8_t* mac);

// How a wait for announcements ended.
enum class RouterWait { ready, timeout, failed };

// Waits (timeout_us, or without a limit when negative) until an endpoint
// or, with keys, standard input is readable; ready lists which. A key
// already read into standard input's buffer counts as readable input.
RouterWait wait_for_routers(RouterInstaller& installer, bool keys, int64_t timeout_us,
                            fd_set& ready);

// Takes one datagram from each ready endpoint, in list order, and lists
// the routers among them (drawing the list when draw is set).
void take_announcements(RouterInstaller& installer, const fd_set& ready, bool draw);

// Listens for timeout_us without keys or screen; the number of routers
// listed then.
int listen_for_routers(RouterInstaller& installer, int64_t timeout_us);

// Listens (at most timeout_us) until the router whose MAC text is mac (in
// either case; the first router heard when mac is null or empty) has
// announced itself; its entry, made the selected one, or null.
RouterEntry* listen_for_router(RouterInstaller& installer, const char* mac, int64_t timeout_us);
