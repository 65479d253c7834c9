#pragma once
#include "startup/install_context.h"

// The installation that one run of the installer performs.
enum class InstallMode {
    FLOPPIES,    // the floppy set: "/TYPE" missing, empty or anything else
    CDROM,       // "/TYPE" says "cdrom"
    NETWORK,     // "/TYPE" says "net"
    DISK_IMAGE,  // "-hdd-install" among the arguments, whatever "/TYPE" says
};

// Mounts /proc, reads "/TYPE", runs the chosen mode, unmounts /floppy and
// /mnt, disarms the interrupt handler and, where waits_for_enter says so,
// prints "Press ENTER to reboot" and waits for ENTER.
void select_mode(InstallContext& ctx, int argc, char** argv);

// The mode for a "/TYPE" line (its newline already cut) and the arguments;
// argument 0 is the program name and never counts.
InstallMode choose_mode(const char* type, int argc, char** argv);

// Whether the operator confirms the restart after the mode has returned.
bool waits_for_enter(InstallMode mode, bool succeeded);

// The first line of the file at path (at most 79 characters) cut at its
// newline; empty when the file cannot be opened.
void read_install_type(const char* path, char (&type)[80]);
