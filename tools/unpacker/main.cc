// brindlex-unpack [-q] -r ROOT -
//
// Installs the packages read from standard input, back to back until the
// end of input, below ROOT. On the boot system this is /sbin/installer.
// Every path is walked component by component from a descriptor of ROOT
// with O_NOFOLLOW, so nothing is ever written through a symbolic link or
// outside ROOT. Files are written whole under a temporary name and renamed
// into place only when their check value is right. The input is always
// read to its end; the exit status is 0 only when everything went in.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "package_content.h"

namespace {

constexpr size_t INPUT_BUFFER = 1 << 20;

// Buffered standard input; `offset` counts the bytes handed out.
struct Input {
    int fd = 0;
    std::vector<unsigned char> buffer;
    size_t pos = 0;
    size_t end = 0;
    bool at_end = false;
    uint64_t offset = 0;
};

// Makes at least one byte available; false at the end of input.
bool input_fill(Input& in) {
    if (in.pos < in.end) return true;
    in.pos = in.end = 0;
    while (!in.at_end) {
        ssize_t n = read(in.fd, in.buffer.data(), in.buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            in.at_end = true;
            break;
        }
        in.end = size_t(n);
        return true;
    }
    return false;
}

// Copies exactly n bytes; false when the input ends first.
bool input_read(Input& in, void* out, size_t n) {
    unsigned char* p = static_cast<unsigned char*>(out);
    while (n > 0) {
        if (!input_fill(in)) return false;
        size_t take = std::min(n, in.end - in.pos);
        memcpy(p, in.buffer.data() + in.pos, take);
        in.pos += take;
        in.offset += take;
        p += take;
        n -= take;
    }
    return true;
}

// Discards up to n bytes; returns how many were there.
uint64_t input_skip(Input& in, uint64_t n) {
    uint64_t done = 0;
    while (done < n && input_fill(in)) {
        size_t take = size_t(std::min<uint64_t>(n - done, in.end - in.pos));
        in.pos += take;
        in.offset += take;
        done += take;
    }
    return done;
}

// Settings and the running tally of one run.
struct Unpacker {
    bool quiet = false;
    int root_fd = -1;
    bool as_root = false;
    unsigned temp_counter = 0;
    bool all_ok = true;
    std::string package;        // name of the package being installed, for messages
    int cached_parent_fd = -1;  // directory of the last entry, kept open
    std::string cached_parent;  // its path below ROOT
};

// A directory whose owner, mode and times are set once the package is in,
// so that its content can be written first.
struct PendingDirectory {
    std::string path;
    EntryHeader header;
};

void complain(Unpacker& u, const char* format, const std::string& a, const std::string& b = "") {
    fprintf(stderr, "brindlex-unpack: %s: ", u.package.empty() ? "(package)" : u.package.c_str());
    fprintf(stderr, format, a.c_str(), b.c_str());
    fputc('\n', stderr);
    u.all_ok = false;
}

// Opens the directory that holds the last component of path, walking from
// ROOT with O_NOFOLLOW and creating missing directories. Returns -1 and
// sets why when a component is a symbolic link or not a directory.
int open_parent_uncached(Unpacker& u, const std::string& path, std::string* leaf,
                         std::string* why) {
    int fd = dup(u.root_fd);
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) {
            *leaf = path.substr(start);
            return fd;
        }
        std::string part = path.substr(start, slash - start);
        int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT) {
            if (mkdirat(fd, part.c_str(), 0755) == 0 || errno == EEXIST)
                next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            int e = errno;
            struct stat st;
            if (fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                *why = "goes through the symbolic link " + path.substr(0, slash);
            else
                *why = path.substr(0, slash) + ": " + strerror(e);
            close(fd);
            return -1;
        }
        close(fd);
        fd = next;
        start = slash + 1;
    }
}

// The same as open_parent_uncached, but the directory of the previous
// entry is kept open: the entries of a directory come one after another.
// A kept descriptor stays right because the unpacker never replaces a
// directory by anything else (renaming over a directory fails).
int open_parent(Unpacker& u, const std::string& path, std::string* leaf, std::string* why) {
    size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
    if (u.cached_parent_fd >= 0 && parent == u.cached_parent) {
        *leaf = slash == std::string::npos ? path : path.substr(slash + 1);
        return dup(u.cached_parent_fd);
    }
    int fd = open_parent_uncached(u, path, leaf, why);
    if (fd >= 0) {
        if (u.cached_parent_fd >= 0) close(u.cached_parent_fd);
        u.cached_parent_fd = dup(fd);
        u.cached_parent = parent;
    }
    return fd;
}

std::string temp_name(Unpacker& u) {
    char name[64];
    snprintf(name, sizeof name, ".unpack-%ld-%u", long(getpid()), ++u.temp_counter);
    return name;
}

void set_times(const EntryHeader& h, struct timespec* t) {
    t[0].tv_sec = t[1].tv_sec = time_t(h.mtime);
    t[0].tv_nsec = t[1].tv_nsec = h.mtime_nsec < 1000000000 ? long(h.mtime_nsec) : 0;
}

// Reads the data of a file entry into a temporary file beside its place,
// checks it, and renames it into place. `data` bytes of content follow in
// the input, then the 4-byte check value. Returns false when the input
// ended (the package is truncated).
bool install_file(Unpacker& u, Input& in, const EntryHeader& h, const std::string& path,
                  uint32_t crc, uint64_t data, unsigned char* check) {
    std::string leaf, why;
    int dir = open_parent(u, path, &leaf, &why);
    std::string temp = temp_name(u);
    int fd = -1;
    if (dir >= 0) {
        fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    h.mode & 0777);
        if (fd < 0) why = strerror(errno);
    }
    bool write_failed = false;
    std::string write_error;
    uint64_t left = data;
    while (left > 0) {
        if (!input_fill(in)) break;
        size_t take = size_t(std::min<uint64_t>(left, in.end - in.pos));
        const unsigned char* p = in.buffer.data() + in.pos;
        crc = crc32_update(crc, p, take);
        size_t done = 0;
        while (fd >= 0 && !write_failed && done < take) {
            ssize_t n = write(fd, p + done, take - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                write_failed = true;
                write_error = strerror(errno);
            } else {
                done += size_t(n);
            }
        }
        in.pos += take;
        in.offset += take;
        left -= take;
    }
    bool complete = left == 0 && input_read(in, check, ENTRY_CHECK_SIZE);
    bool placed = false;
    if (dir < 0 || fd < 0) {
        complain(u, "refused \"%s\": %s", path, why);
    } else if (!complete) {
        complain(u, "\"%s\" is cut short: the package is truncated%s", path);
    } else if (load_le32(check) != crc) {
        complain(u, "\"%s\" is damaged (check value differs); not installed%s", path);
    } else if (write_failed) {
        complain(u, "cannot write \"%s\": %s", path, write_error);
    } else {
        struct timespec t[2];
        set_times(h, t);
        // Created with its permission bits already (umask is 0); the owner
        // and the set-id bits, which a change of owner clears, come after.
        bool owner_differs = h.uid != uint32_t(geteuid()) || h.gid != uint32_t(getegid());
        if (u.as_root && owner_differs && fchown(fd, h.uid, h.gid) != 0)
            complain(u, "cannot set the owner of \"%s\": %s", path, strerror(errno));
        bool mode_left = (h.mode & 07000) != 0 || (u.as_root && owner_differs);
        if ((mode_left && fchmod(fd, h.mode & 07777) != 0) || futimens(fd, t) != 0)
            complain(u, "cannot set the mode or time of \"%s\": %s", path, strerror(errno));
        if (renameat(dir, temp.c_str(), dir, leaf.c_str()) == 0)
            placed = true;
        else
            complain(u, "cannot put \"%s\" in place: %s", path, strerror(errno));
    }
    if (fd >= 0) close(fd);
    if (fd >= 0 && !placed) unlinkat(dir, temp.c_str(), 0);
    if (dir >= 0) close(dir);
    return complete;
}

void install_symlink(Unpacker& u, const EntryHeader& h, const std::string& path,
                     const std::string& target) {
    std::string leaf, why;
    int dir = open_parent(u, path, &leaf, &why);
    if (dir < 0) {
        complain(u, "refused \"%s\": %s", path, why);
        return;
    }
    if (target.empty() || target.find('\0') != std::string::npos) {
        complain(u, "refused \"%s\": bad link target%s", path);
        close(dir);
        return;
    }
    std::string temp = temp_name(u);
    if (symlinkat(target.c_str(), dir, temp.c_str()) != 0) {
        complain(u, "cannot make the link \"%s\": %s", path, strerror(errno));
        close(dir);
        return;
    }
    struct timespec t[2];
    set_times(h, t);
    if (u.as_root) fchownat(dir, temp.c_str(), h.uid, h.gid, AT_SYMLINK_NOFOLLOW);
    utimensat(dir, temp.c_str(), t, AT_SYMLINK_NOFOLLOW);
    if (renameat(dir, temp.c_str(), dir, leaf.c_str()) != 0) {
        complain(u, "cannot put \"%s\" in place: %s", path, strerror(errno));
        unlinkat(dir, temp.c_str(), 0);
    }
    close(dir);
}

void install_directory(Unpacker& u, const EntryHeader& h, const std::string& path,
                       std::vector<PendingDirectory>* pending) {
    std::string leaf, why;
    int dir = open_parent(u, path, &leaf, &why);
    if (dir < 0) {
        complain(u, "refused \"%s\": %s", path, why);
        return;
    }
    if (mkdirat(dir, leaf.c_str(), 0700) != 0 && errno == EEXIST) {
        struct stat st;
        if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
            // A file or link in the way is replaced, never followed.
            if (unlinkat(dir, leaf.c_str(), 0) != 0 || mkdirat(dir, leaf.c_str(), 0700) != 0) {
                complain(u, "cannot make the directory \"%s\": %s", path, strerror(errno));
                close(dir);
                return;
            }
        }
    }
    close(dir);
    pending->push_back(PendingDirectory{path, h});
}

// Gives the directories of a package their owner, mode and times, the
// deepest first so that their times stay as recorded.
void finish_directories(Unpacker& u, std::vector<PendingDirectory>& pending) {
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
        std::string leaf, why;
        int dir = open_parent(u, it->path, &leaf, &why);
        if (dir < 0) continue;
        int fd = openat(dir, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(dir);
        if (fd < 0) {
            complain(u, "cannot open the directory \"%s\": %s", it->path, strerror(errno));
            continue;
        }
        struct timespec t[2];
        set_times(it->header, t);
        if (u.as_root && fchown(fd, it->header.uid, it->header.gid) != 0)
            complain(u, "cannot set the owner of \"%s\": %s", it->path, strerror(errno));
        if (fchmod(fd, it->header.mode & 07777) != 0 || futimens(fd, t) != 0)
            complain(u, "cannot set the mode or time of \"%s\": %s", it->path, strerror(errno));
        close(fd);
    }
    pending.clear();
}

// Installs one package whose file header has been read; `length` bytes of
// parts follow. Returns false when the input ended inside the package.
bool unpack_package(Unpacker& u, Input& in, const unsigned char* file_header) {
    uint64_t end = in.offset + load_le32(file_header + 4);
    uint64_t start = in.offset - FILE_HEADER_SIZE;
    uint32_t header_check = crc32_update(0, file_header, FILE_HEADER_SIZE);
    std::vector<PendingDirectory> pending;
    u.package.clear();
    unsigned entries = 0, installed_ok = 0;
    bool trailer_seen = false, damaged = false, truncated = false;
    bool ok_before = u.all_ok;
    char where[64];
    std::vector<unsigned char> small;
    while (in.offset < end && !damaged && !truncated) {
        snprintf(where, sizeof where, "%llu", (unsigned long long)(in.offset - start));
        unsigned char ph[PART_HEADER_SIZE];
        if (end - in.offset < PART_HEADER_SIZE) {
            complain(u, "damaged package: part header at offset %s runs past its end%s", where);
            damaged = true;
            break;
        }
        if (!input_read(in, ph, sizeof ph)) {
            truncated = true;
            break;
        }
        header_check = crc32_update(header_check, ph, sizeof ph);
        int type = load_le16(ph);
        uint32_t length = load_le32(ph + 2);
        if (length > end - in.offset) {
            complain(u, "damaged package: the part at offset %s runs past its end%s", where);
            damaged = true;
            break;
        }
        if (trailer_seen) {
            complain(u, "damaged package: a part follows the trailer at offset %s%s", where);
            damaged = true;
            break;
        }
        bool entry = type == PART_DIRECTORY || type == PART_FILE || type == PART_SYMLINK;
        if (entry) {
            ++entries;
            if (length < ENTRY_HEADER_SIZE + ENTRY_CHECK_SIZE) {
                complain(u, "damaged package: entry at offset %s too short%s", where);
                damaged = true;
                break;
            }
            unsigned char eh[ENTRY_HEADER_SIZE];
            if (!input_read(in, eh, sizeof eh)) {
                truncated = true;
                break;
            }
            EntryHeader h;
            decode_entry_header(eh, &h);
            uint32_t crc = crc32_update(0, eh, sizeof eh);
            uint64_t rest = length - ENTRY_HEADER_SIZE - ENTRY_CHECK_SIZE;
            if (h.path_length > rest || h.path_length > MAX_ENTRY_PATH) {
                complain(u, "damaged package: entry at offset %s has a bad path length%s", where);
                damaged = true;
                break;
            }
            std::string path(h.path_length, '\0');
            if (!input_read(in, &path[0], path.size())) {
                truncated = true;
                break;
            }
            crc = crc32_update(crc, path.data(), path.size());
            rest -= h.path_length;
            const char* broken = path_rule_broken(path);
            if (type == PART_FILE && broken == nullptr) {
                bool before = u.all_ok;
                u.all_ok = true;
                unsigned char ck[ENTRY_CHECK_SIZE];
                if (!install_file(u, in, h, path, crc, rest, ck)) {
                    u.all_ok = false;
                    truncated = true;
                    break;
                }
                header_check = crc32_update(header_check, ck, sizeof ck);
                if (u.all_ok) ++installed_ok;
                u.all_ok = u.all_ok && before;
                continue;
            }
            // Directories and links are small: read the rest whole.
            if (rest > MAX_LINK_TARGET) {
                if (broken == nullptr) broken = "entry too long";
                uint64_t skipped = input_skip(in, rest + ENTRY_CHECK_SIZE);
                if (skipped < rest + ENTRY_CHECK_SIZE) {
                    truncated = true;
                    break;
                }
                complain(u, "refused \"%s\": %s", path, broken);
                continue;
            }
            small.resize(size_t(rest));
            unsigned char ck[ENTRY_CHECK_SIZE];
            if (!input_read(in, small.data(), small.size()) || !input_read(in, ck, sizeof ck)) {
                truncated = true;
                break;
            }
            header_check = crc32_update(header_check, ck, sizeof ck);
            crc = crc32_update(crc, small.data(), small.size());
            if (broken != nullptr) {
                complain(u, "refused \"%s\": %s", path, broken);
            } else if (load_le32(ck) != crc) {
                complain(u, "\"%s\" is damaged (check value differs); not installed%s", path);
            } else if (type == PART_DIRECTORY && !small.empty()) {
                complain(u, "refused \"%s\": a directory entry with data%s", path);
            } else {
                bool before = u.all_ok;
                u.all_ok = true;
                if (type == PART_DIRECTORY)
                    install_directory(u, h, path, &pending);
                else
                    install_symlink(
                        u, h, path,
                        std::string(reinterpret_cast<char*>(small.data()), small.size()));
                if (u.all_ok) ++installed_ok;
                u.all_ok = u.all_ok && before;
            }
            continue;
        }
        if (type == PART_TRAILER) {
            unsigned char tr[TRAILER_SIZE];
            if (length != TRAILER_SIZE) {
                complain(u, "damaged package: bad trailer at offset %s%s", where);
                damaged = true;
                break;
            }
            if (!input_read(in, tr, sizeof tr)) {
                truncated = true;
                break;
            }
            trailer_seen = true;
            if (load_le32(tr) != entries)
                complain(u, "damaged package: the trailer counts a different number of entries%s%s",
                         "");
            else if (load_le32(tr + 4) != header_check)
                complain(u, "damaged package: header check value differs%s%s", "");
            continue;
        }
        // Identification, description, dependencies, unknown parts: read
        // through (into the check value); the name is kept for messages.
        uint64_t rest = length;
        while (rest > 0) {
            if (!input_fill(in)) break;
            size_t take = size_t(std::min<uint64_t>(rest, in.end - in.pos));
            const unsigned char* p = in.buffer.data() + in.pos;
            header_check = crc32_update(header_check, p, take);
            if (type == PART_IDENTIFICATION && rest == length && take >= IDENTIFICATION_SIZE) {
                u.package = name_from_field(p);
                if (load_le16(p + NAME_SIZE) > CONTENT_FORMAT_VERSION) {
                    complain(u, "made for a later content format; not installed%s%s", "");
                }
            }
            in.pos += take;
            in.offset += take;
            rest -= take;
        }
        if (rest > 0) {
            truncated = true;
            break;
        }
    }
    finish_directories(u, pending);
    if (truncated) {
        complain(u, "the package is truncated (input ended at offset %s of the package)%s",
                 std::to_string(in.offset - start));
    } else if (damaged) {
        uint64_t want = end - in.offset;
        if (input_skip(in, want) < want) {
            complain(u, "the package is truncated%s%s", "");
            truncated = true;
        }
    } else if (!trailer_seen) {
        complain(u, "damaged or truncated package: no trailer%s%s", "");
    }
    if (!u.quiet) {
        printf("%s: %u of %u entries installed%s\n",
               u.package.empty() ? "(unnamed package)" : u.package.c_str(), installed_ok, entries,
               u.all_ok && ok_before ? "" : " (with errors)");
        fflush(stdout);
    }
    u.all_ok = u.all_ok && ok_before;
    return !truncated;
}

}  // namespace

int main(int argc, char** argv) {
    Unpacker u;
    const char* root = nullptr;
    bool from_stdin = false;
    bool usage_ok = true;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-q") == 0) {
            u.quiet = true;
        } else if (strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else if (strcmp(argv[i], "-") == 0) {
            from_stdin = true;
        } else {
            usage_ok = false;
        }
    }
    Input in;
    in.buffer.resize(INPUT_BUFFER);
    if (!usage_ok || root == nullptr || !from_stdin) {
        fprintf(stderr, "usage: brindlex-unpack [-q] -r ROOT -\n");
        if (!isatty(0)) input_skip(in, UINT64_MAX);
        return 2;
    }
    u.root_fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (u.root_fd < 0) {
        fprintf(stderr, "brindlex-unpack: cannot open the root directory %s: %s\n", root,
                strerror(errno));
        input_skip(in, UINT64_MAX);
        return 1;
    }
    u.as_root = geteuid() == 0;
    // A larger pipe means fewer, longer reads; a file or a refusal is fine.
    fcntl(0, F_SETPIPE_SZ, 1 << 20);
    umask(0);
    for (;;) {
        unsigned char head[FILE_HEADER_SIZE];
        size_t got = 0;
        while (got < FILE_HEADER_SIZE && input_fill(in)) {
            size_t take = std::min(FILE_HEADER_SIZE - got, in.end - in.pos);
            memcpy(head + got, in.buffer.data() + in.pos, take);
            in.pos += take;
            in.offset += take;
            got += take;
        }
        if (got == 0) break;
        uint32_t magic = got == FILE_HEADER_SIZE ? load_le32(head) : 0;
        if (magic != CONTENT_PACKAGE_MAGIC && magic != CONTENT_PACKAGE_MAGIC_ALT) {
            uint64_t at = in.offset - got;
            uint64_t rest = input_skip(in, UINT64_MAX);
            fprintf(stderr,
                    "brindlex-unpack: no package at input offset %llu (%llu bytes passed over)\n",
                    (unsigned long long)at, (unsigned long long)(rest + got));
            u.all_ok = false;
            break;
        }
        if (!unpack_package(u, in, head)) {
            input_skip(in, UINT64_MAX);
            break;
        }
    }
    close(u.root_fd);
    return u.all_ok ? 0 : 1;
}
