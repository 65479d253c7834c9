// The catalogue of the packages on an installation medium: every .vpk file
// of one directory with its identification record, description and
// dependency list, the operator's selection, the order in which the menu
// shows the packages and the rules that keep dependencies together.
#pragma once

#include <cstdint>

// Length of a package name inside an identification or dependency record.
constexpr int PACKAGE_NAME_LENGTH = 16;

// A zero-filled area a name is copied into to print it: always terminated.
constexpr int PACKAGE_NAME_BUFFER = 20;

// A 32-byte name record as stored in a package file: the identification
// record (part 1) and each dependency record (part 3). The name is filled
// with NUL bytes after its end; a 16-character name has no terminator. The
// other 16 bytes are carried along but not interpreted.
struct PackageRecord {
    char name[PACKAGE_NAME_LENGTH];
    unsigned char extra[16];
};
static_assert(sizeof(PackageRecord) == 32, "package records are 32 bytes");

// One package of the catalogue.
struct PackageInfo {
    char* path;                   // "%s/%s" of the directory and the file name
    PackageRecord header;         // identification record; header.name is the name
    char* description;            // terminated; empty when the package has none
    uint16_t dependency_count;    // number of records in dependencies
    PackageRecord* dependencies;  // the packages this one requires
    bool selected;                // chosen for installation
};

// The catalogue of one directory. Entries stay in the order in which the
// directory listing returned the file names. Filled once, never freed.
struct PackageList {
    const char* directory = nullptr;  // not owned; must stay valid
    int count = 0;
    PackageInfo* entries = nullptr;
};

// Room for the path of a package file, its terminator included. A package
// whose path is longer is refused by scan_packages as a bad package, so
// every catalogue path fits a buffer of this size.
constexpr int PACKAGE_PATH_SIZE = 512;

// Name of the defaults file in the catalogue's directory.
constexpr const char* DEFAULTS_FILE_NAME = "defpacks";

// Compares two package names: at most 16 bytes, ending at the first NUL.
int compare_package_names(const char* a, const char* b);

void init_package_list(PackageList& list, const char* directory);

// Reads every package file ("*.vpk") of the directory; each package gets
// selected = initially_selected. Prints a "FATAL ERROR: " line and returns
// false when the directory holds no package or a package is unreadable (or
// memory for it cannot be had); the catalogue is then left empty.
bool scan_packages(PackageList& list, bool initially_selected);

// Releases everything the catalogue holds and leaves it empty. The
// installation modes never call it: their catalogue lives until the
// machine restarts.
void free_package_list(PackageList& list);

// Fills entries[index] (whose path is already set) from the file at path.
bool read_package_info(PackageList& list, const char* path, int index);

// Index of the first entry named name, or -1.
int find_package(const PackageList& list, const char* name);

// Reads the defaults file of the directory, if there is one, and marks the
// first package named by each of its words as selected. Returns the number
// of words that named a package.
int mark_default_packages(PackageList& list);

// The order in which the menu shows the packages: "system", "ppp", "dhcp",
// then the others by name. Also marks the packages of the defaults file
// (mark_default_packages). The caller owns the array (delete[]).
PackageInfo** display_order(PackageList& list);

void select_all(PackageList& list);

// Deselects everything, then selects "system" if there is such a package.
void select_minimum(PackageList& list);

// Toggles items[k] (items is a display-order array). Selecting a package
// selects its direct dependencies; deselecting one deselects the packages
// that depend on it directly. A selected "system" stays selected. Returns
// false when nothing changed (that "system" case).
bool toggle_selection(PackageList& list, PackageInfo* const* items, int k);
