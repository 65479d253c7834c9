#include "startup/process_state.h"

char log_terminal[10] = "/dev/tty9";

volatile sig_atomic_t abort_disarmed = 0;
