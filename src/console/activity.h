#pragma once

// Activity dots for long steps: start_activity prints message (no newline)
// and then one "." per second, written straight to descriptor 1 from the
// SIGALRM handler; stop_activity ends the line and ignores the alarm still
// pending. They have no record: their state is the SIGALRM disposition and
// the pending alarm.
void start_activity(const char* message);
void stop_activity();
