// The questions of the remote installation, on the console that the
// package menu left in key-by-key input without echo: a one-line editor
// with an optional proposed value, an address prompt, and a yes/no
// question with the cursor shown.
#pragma once

#include <netinet/in.h>

#include <cstddef>

// "\rPROMPT: " and the proposed text (reverse video); Enter accepts it, the
// first other key replaces it. Backspace (127) takes back what was typed;
// at most size - 1 characters are kept; the result goes into output
// (size bytes). Keys are stored as typed. The end of input counts as Enter;
// false then (the text so far is in output all the same).
bool edit_line(const char* prompt, const char* proposed, char* output, size_t size);

// Asks with edit_line (19 characters, nothing proposed) until the text is an
// IPv4 address in any form inet_aton takes, into address. False at the end
// of input unless the text then is an address: a closed console is never
// asked again, and the caller leaves the router's installation.
bool ask_address(const char* prompt, in_addr& address);

// The console's yes/no question ("QUESTION [y/n]:"; y or Y true, n or N
// false, as does the end of input; other keys ring the bell) with the
// cursor shown while the answer is awaited.
bool ask_yes_no_with_cursor(const char* question);
