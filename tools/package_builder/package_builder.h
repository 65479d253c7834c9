// Making package files (.vpk) from a directory tree, and looking into them.
// The layout written here is described in docs/package-format.md.
#ifndef BRINDLEX_TOOLS_PACKAGE_BUILDER_H_
#define BRINDLEX_TOOLS_PACKAGE_BUILDER_H_

#include <cstdio>
#include <string>
#include <vector>

// What goes into one package.
struct PackageSource {
    std::string name;                  // 1 to 16 bytes
    std::string description;           // any text, may be empty
    std::vector<std::string> depends;  // names of required packages, 1 to 16 bytes each
    std::string tree;                  // directory whose content is packed; empty: no content
    bool root_owner = false;           // record every entry as owned by 0:0
    bool alt_magic = false;            // write the second magic value (0xA1100FFB)
};

// Writes the package to out_path. The file appears whole or not at all: it
// is written under a temporary name in the same directory and renamed. On
// failure returns false and, when error is given, says why.
bool build_package(const PackageSource& source, const std::string& out_path, std::string* error);

// Prints one line per part of the package at path to out. Returns false
// (with the reason in error) when the file cannot be read as a package.
bool list_package(const std::string& path, FILE* out, std::string* error);

// Checks the whole package: framing, every entry's check value, the
// trailer. Returns true when it is sound; otherwise error holds the first
// fault found.
bool verify_package(const std::string& path, std::string* error);

#endif  // BRINDLEX_TOOLS_PACKAGE_BUILDER_H_
