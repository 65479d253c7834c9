// The record of installed packages: in the new system, one text file per
// package the unpacker installed, in var/pdb below the root, named after
// the package. It holds the package's name, description, dependencies and
// every path the unpacker wrote for it, one "KEY VALUE" line each:
//
//   name routing
//   description Static routes and interface settings
//   depends system
//   path etc/routing
//   path etc/routing/routes.conf
//   state complete
//
// Values are escaped as on the console (printable_text.h), so each is one
// line. "state" is the last line: "complete" when every entry went in,
// "incomplete" otherwise. The record is written under no name or a
// temporary one and put in place whole when the package ends, replacing
// the record of an earlier installation of the same package.
#ifndef BRINDLEX_TOOLS_PACKAGE_RECORD_H_
#define BRINDLEX_TOOLS_PACKAGE_RECORD_H_

#include <cstdio>
#include <string>

#include "new_files.h"

// Where the records live, below the root.
constexpr const char* RECORD_DIRECTORY = "var/pdb";

// The file name of a package's record: the escaped name, with "/" and a
// leading "." escaped as well ("\x2f", "\x2e"). Empty for an empty name.
std::string record_file_name(const std::string& name);

// The record of one package being installed, written as it goes.
struct InstalledRecord {
    int dir = -1;         // var/pdb below the root, or -1 when not open
    NewFile file;         // the record being written
    std::string pending;  // lines not yet written to the file
    bool failed = false;  // a write failed; the record is thrown away
    int error_number = 0;
};

// Starts the record of the package named name in var/pdb below the root
// (made when missing, never through a link). False with the reason in why.
bool record_begin(InstalledRecord& record, int root_fd, const std::string& name, std::string* why);

inline bool record_open(const InstalledRecord& record) {
    return record.dir >= 0;
}

// Adds the line "KEY VALUE" with the value escaped. A value may come in
// pieces: record_key, then record_value_bytes as often as needed, then
// record_line_end.
void record_key(InstalledRecord& record, const char* key);
void record_value_bytes(InstalledRecord& record, const char* bytes, size_t length);
void record_line_end(InstalledRecord& record);
void record_line(InstalledRecord& record, const char* key, const std::string& value);

// Ends the record with its "state" line and puts it in place as the
// record of name. False with the reason in why (the record is then gone).
bool record_finish(InstalledRecord& record, const std::string& name, bool complete,
                   std::string* why);

// Throws an unfinished record away.
void record_discard(InstalledRecord& record);

// Prints what the root holds, one line per recorded package, sorted by
// name: the name, the number of paths, "incomplete" when the package did
// not go in whole, the description and what it needs. Returns false with
// the reason in why when the records cannot be read.
bool list_records(int root_fd, FILE* out, std::string* why);

#endif  // BRINDLEX_TOOLS_PACKAGE_RECORD_H_
