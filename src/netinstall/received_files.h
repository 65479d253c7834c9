// What a router does with the files of its installation: every package
// goes into a run of the package unpacker of its own, and the
// configuration script is written into the root of the new system.
#pragma once

#include "netinstall/client_conversation.h"

// Where the files go: the new system's root (the unpacker installs below
// it, the script is written into it) and the unpacker program.
struct FileDestination {
    const char* root;      // "/mnt" on the router
    const char* unpacker;  // "/sbin/installer" on the router
};

// The router's own destination: "/mnt" and "/sbin/installer".
extern const FileDestination NEW_SYSTEM;

// A file is the configuration script when its name is longer than four
// characters and ends with ".scr"; ".scr" alone is a package.
bool is_script_name(const char* name);

// Receives files until the script has been written, a file of size 0 (the
// empty configuration of a router that keeps its old one) arrives, or no
// further file header comes (next_file has sent "TERM" then). Each package
// is fed into "UNPACKER -r ROOT -" as it arrives; a package that the
// unpacker did not take whole, or could not install (its exit status), ends
// the installation like a failed write. The script is written as
// ROOT/NAME; a name that would leave the root (one with a '/') or an
// existing link of that name is refused. False after a failure, which has
// printed its "FATAL ERROR: " line (or only an empty line when a package
// did not go in).
bool receive_files(InstallClient& client, const FileDestination& destination);
