// Walking a path below the new root without ever following a symbolic
// link: every component is opened from the descriptor of the one before,
// starting at the root, with O_NOFOLLOW. A component that is a link or not
// a directory stops the walk, so nothing is ever reached through a link or
// outside the root.
#ifndef BRINDLEX_TOOLS_ROOT_PATHS_H_
#define BRINDLEX_TOOLS_ROOT_PATHS_H_

#include <string>

// Opens the directory at dir_path below the root ("" is the root itself),
// making missing directories (mode 0755) when create is set. Returns a new
// descriptor, or -1 with the reason in why and errno set.
int open_directory_below(int root_fd, const std::string& dir_path, bool create, std::string* why);

// The directory of the last entry, kept open: the entries of one
// directory come one after another.
struct ParentCache {
    int fd = -1;       // open directory, or -1
    std::string path;  // its path below the root
};

// The directory that holds the last component of path (missing directories
// are made), and that component in leaf. The descriptor belongs to the
// cache and stays valid until the next call; -1 with the reason in why.
// A kept descriptor stays right because a directory is never replaced by
// anything else (renaming over a directory fails).
int open_parent(int root_fd, ParentCache& cache, const std::string& path, std::string* leaf,
                std::string* why);

void close_parent_cache(ParentCache& cache);

#endif  // BRINDLEX_TOOLS_ROOT_PATHS_H_
