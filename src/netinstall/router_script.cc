#include "netinstall/router_script.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "netinstall/mac_address.h"

namespace {

char router_script[ROUTER_SCRIPT_SIZE];

// Appends to the script; whatever would not fit is left out.
__attribute__((format(printf, 1, 2))) void append(const char* format, ...) {
    size_t used = strlen(router_script);
    if (used >= sizeof router_script - 1) return;
    va_list arguments;
    va_start(arguments, format);
    int written = vsnprintf(router_script + used, sizeof router_script - used, format, arguments);
    va_end(arguments);
    if (written < 0) router_script[used] = '\0';
}

}  // namespace

const char* build_router_script(const uint8_t* router_mac, in_addr address,
                                unsigned long prefix_bits, in_addr gateway,
                                unsigned long baud_rate) {
    router_script[0] = '\0';
    if (address.s_addr != INADDR_ANY && prefix_bits != 0) {
        append(
            ":local eth\n"
            ":set eth [/interface ethernet get [/interface ethernet find mac-address=%s] name]\n"
            "/interface enable $eth\n",
            format_mac(router_mac));
        append("/ip address add address=%s/%lu interface=$eth\n", inet_ntoa(address), prefix_bits);
    }
    if (gateway.s_addr != INADDR_ANY) append("/ip route add gateway=%s\n", inet_ntoa(gateway));
    if (baud_rate != 0) append("/port set [/port find] baud-rate=%lu\n", baud_rate);
    return router_script;
}
