// Installing the packages of one input stream below a root: the work of
// brindlex-unpack (/sbin/installer on the boot system).
//
// Packages come back to back; each one's length field says where it ends.
// Every path is walked from the root without following links
// (root_paths.h); files and links appear whole or not at all
// (new_files.h); directories get their owner, mode and time once the
// entries inside them are in. An entry that breaks a rule is refused with
// a message and the rest of the package goes on; a part that runs past
// its package makes the package damaged and the next package is read. A
// record of each installed package is kept below the root
// (package_record.h). Every name and path a message shows is escaped
// (printable_text.h).
#ifndef BRINDLEX_TOOLS_UNPACK_STREAM_H_
#define BRINDLEX_TOOLS_UNPACK_STREAM_H_

#include <cstdio>

#include "unpack_input.h"

// How one run installs.
struct Unpacker {
    int root_fd = -1;          // the new root; not owned
    bool quiet = false;        // no summary line per package
    bool keep_records = true;  // keep the record of installed packages
    bool as_root = false;      // set owners (only root can)
    bool write_out = false;    // each package on the disk before its summary line
    FILE* out = stdout;        // summary lines: "NAME: K of N entries installed"
    FILE* err = stderr;        // one line per thing that went wrong
};

// Installs every package of the input below the root and reads the input
// to its end. True when at least one package came and everything went in;
// an empty input, a read error, anything refused or damaged gives false.
// Permission bits are given as they stand: the caller sets umask(0).
bool unpack_stream(const Unpacker& unpacker, UnpackInput& in);

#endif  // BRINDLEX_TOOLS_UNPACK_STREAM_H_
