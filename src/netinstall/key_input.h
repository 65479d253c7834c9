// Keys on standard input as the network screens see them: they read keys
// with getchar, which may take several that arrived together into the
// stream's buffer, where waiting on descriptor 0 cannot see them.
#pragma once

// Whether keys read from descriptor 0 are waiting in standard input's
// buffer.
bool key_buffered();
