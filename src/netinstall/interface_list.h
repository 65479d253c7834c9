// The machine's usable network interfaces: every interface the kernel
// lists with a hardware address other than all zero, each with an open
// endpoint (see net_endpoint.h). Both network roles keep one such list.
#pragma once

#include "netinstall/net_endpoint.h"

// The endpoints of the usable interfaces, in the kernel's order.
struct InterfaceList {
    unsigned count = 0;                 // endpoints in use
    NetEndpoint** endpoints = nullptr;  // owned; one slot per interface line
};

// Enumerates the interfaces of /proc/net/dev and opens one endpoint per
// usable interface into list (also returned). An interface whose endpoint
// cannot be opened is left out; a failing hardware-address query empties
// the whole list. Returns null with count 0 when nothing is usable.
NetEndpoint** list_interfaces(InterfaceList& list);

// The same over another file in the format of /proc/net/dev.
NetEndpoint** list_interfaces_in(InterfaceList& list, const char* device_file);

// The interfaces named (count of them), in that order, each with its
// endpoint: all of them or, when one has no hardware address or cannot be
// opened, none (its name in *failed when failed is given).
NetEndpoint** list_named_interfaces(InterfaceList& list, const char* const* names, int count,
                                    const char** failed = nullptr);

// Closes and releases every endpoint and the array; the list is empty after.
void free_interfaces(InterfaceList& list);

bool has_interfaces(const InterfaceList& list);

// The MAC text of endpoint index (format_mac's buffer), or null when index
// is not below count.
const char* interface_mac_text(const InterfaceList& list, unsigned index);
