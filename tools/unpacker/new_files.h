// Files and links that appear in the tree whole or not at all.
//
// A new file is written without a name (O_TMPFILE) where the file system
// and the process allow it, so a run that is killed, even by SIGKILL,
// leaves nothing behind; it gets its name only when it is complete. Where
// that cannot be done it is written under a temporary name beside its
// place. Replacing an existing file or link goes through a temporary name
// and a rename, so the old one stays until the new one is whole.
//
// Temporary names carry the process number and a counter. A run takes
// a name that already exists for the leftover of a killed earlier run of
// the same process number (no live process can hold it) and removes it.
// While a temporary name exists, SIGTERM, SIGINT and SIGHUP remove it
// before the process ends (install_cleanup_on_signals).
#ifndef BRINDLEX_TOOLS_NEW_FILES_H_
#define BRINDLEX_TOOLS_NEW_FILES_H_

#include <sys/types.h>

#include <string>

// Longest temporary name, terminator included.
constexpr size_t TEMPORARY_NAME_SIZE = 48;

// The temporary name of the n-th temporary of process pid:
// ".unpack-PID-N".
std::string temporary_name(pid_t pid, unsigned n);

// A file being written into a directory.
struct NewFile {
    int dir = -1;                         // directory it goes into; not owned
    int fd = -1;                          // open for writing
    int slot = -1;                        // cleanup slot of its temporary name, -1: unnamed
    char temp[TEMPORARY_NAME_SIZE] = {};  // the temporary name while it has one
};

// Creates an empty file of the given permission bits in dir, not yet
// visible under its own name. False with the reason in why.
bool new_file_open(NewFile& file, int dir, mode_t mode, std::string* why);

// Gives the complete file the name leaf in its directory, replacing a file
// or link of that name (never a directory), and closes it. False with the
// reason in why; the file is then gone.
bool new_file_place(NewFile& file, const char* leaf, std::string* why);

// Throws an unfinished file away and closes it.
void new_file_discard(NewFile& file);

// Makes the symbolic link leaf -> target in dir, replacing a file or link
// of that name (never a directory). The owner (when chown_link) and time
// are set on the link itself. False with the reason in why.
bool place_symlink(int dir, const char* leaf, const std::string& target, bool chown_link, uid_t uid,
                   gid_t gid, const struct timespec times[2], std::string* why);

// Removes the temporary names that exist at the moment a terminating
// signal arrives, then lets the signal end the process as it would have.
void install_cleanup_on_signals();

#endif  // BRINDLEX_TOOLS_NEW_FILES_H_
