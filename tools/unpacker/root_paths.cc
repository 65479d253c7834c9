#include "root_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "printable_text.h"

int open_directory_below(int root_fd, const std::string& dir_path, bool create, std::string* why) {
    int fd = dup(root_fd);
    if (fd < 0) {
        *why = strerror(errno);
        return -1;
    }
    size_t start = 0;
    while (start < dir_path.size()) {
        size_t slash = dir_path.find('/', start);
        if (slash == std::string::npos) slash = dir_path.size();
        std::string part = dir_path.substr(start, slash - start);
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = openat(fd, part.c_str(), flags);
        if (next < 0 && errno == ENOENT && create) {
            if (mkdirat(fd, part.c_str(), 0755) == 0 || errno == EEXIST)
                next = openat(fd, part.c_str(), flags);
        }
        if (next < 0) {
            int e = errno;
            struct stat st;
            std::string so_far = printable_text(dir_path.substr(0, slash));
            if (fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                *why = "goes through the symbolic link " + so_far;
            else
                *why = so_far + ": " + strerror(e);
            close(fd);
            errno = e;
            return -1;
        }
        close(fd);
        fd = next;
        start = slash + 1;
    }
    return fd;
}

int open_parent(int root_fd, ParentCache& cache, const std::string& path, std::string* leaf,
                std::string* why) {
    size_t slash = path.rfind('/');
    *leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (cache.fd >= 0 && cache.path.size() == (slash == std::string::npos ? 0 : slash) &&
        path.compare(0, cache.path.size(), cache.path) == 0)
        return cache.fd;
    std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
    int fd = open_directory_below(root_fd, parent, true, why);
    if (fd < 0) return -1;
    close_parent_cache(cache);
    cache.fd = fd;
    cache.path = parent;
    return fd;
}

void close_parent_cache(ParentCache& cache) {
    if (cache.fd >= 0) close(cache.fd);
    cache.fd = -1;
    cache.path.clear();
}
