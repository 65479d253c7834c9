// Text that came over the network (a router's disk label, a file name from
// a server) as every screen and program output shows it: printable ASCII
// as it is, every other byte (a terminal control, CR, BEL, an 8-bit byte)
// as '?', so that nothing from the wire can steer the terminal.
#pragma once

#include <cstddef>

// Copies text into shown (size bytes, always terminated), at most size - 1
// characters, each as above.
void screen_text(const char* text, char* shown, size_t size);
