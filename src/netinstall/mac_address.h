// Hardware addresses as the installation protocol carries them: six bytes
// in wire order, and the text form every network screen shows.
#pragma once

#include <cstdint>

constexpr int MAC_LENGTH = 6;

// Length of the text form "%02X:%02X:%02X:%02X:%02X:%02X".
constexpr int MAC_TEXT_LENGTH = 17;

// The text form of mac in one process-wide buffer, which the next call
// overwrites: print or copy it first.
const char* format_mac(const uint8_t* mac);

bool mac_is_zero(const uint8_t* mac);
bool same_mac(const uint8_t* a, const uint8_t* b);
