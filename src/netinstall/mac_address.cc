#include "netinstall/mac_address.h"

#include <cstdio>
#include <cstring>

const char* format_mac(const uint8_t* mac) {
    static char text[MAC_TEXT_LENGTH + 1];
    snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

bool mac_is_zero(const uint8_t* mac) {
    static const uint8_t zero[MAC_LENGTH] = {};
    return memcmp(mac, zero, MAC_LENGTH) == 0;
}

bool same_mac(const uint8_t* a, const uint8_t* b) {
    return memcmp(a, b, MAC_LENGTH) == 0;
}
