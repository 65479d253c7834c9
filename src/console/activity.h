#pragma once

// Prints message, then one "." per second until stop_activity.
void start_activity(const char* message);
void stop_activity();
