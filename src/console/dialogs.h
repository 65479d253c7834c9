#pragma once

// The fixed dialogue screens; they use the process-wide ConsoleState.
void show_welcome(const char* mode_name);
bool confirm_erase();
bool ask_keep_config();
