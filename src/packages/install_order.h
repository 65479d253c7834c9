// The order in which the selected packages are installed: every package
// after the packages it depends on, directly or indirectly.
#pragma once

#include "packages/package_catalogue.h"

// An iterator over the packages to install, built from a snapshot of the
// catalogue's selection. Setting position back to 0 delivers the same
// sequence again.
struct InstallOrder {
    const PackageList* list = nullptr;  // not owned
    int total = 0;                      // packages placed in order
    int position = 0;                   // index in order of the next package
    int* order = nullptr;               // entry indices, dependencies first
    int* visited = nullptr;             // one flag per catalogue entry
};

// Places every selected package and, before it, everything it needs. A
// dependency cycle ends: its member reached first comes after the others.
// Returns false (order empty) when memory for the arrays cannot be had.
bool build_install_order(InstallOrder& order, const PackageList& list);

// Copies the path of the next package into buffer, which holds
// PACKAGE_PATH_SIZE bytes (the catalogue has no longer path), and advances;
// false when every package has been delivered.
bool next_package_path(InstallOrder& order, char* buffer);

// Fills a 20-byte buffer with the name of the package delivered last by
// next_package_path, zero-filled, so a 16-character name is terminated.
void current_package_name(const InstallOrder& order, char* buffer);

void free_install_order(InstallOrder& order);
