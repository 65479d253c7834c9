#include "unpack_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "new_files.h"
#include "package_content.h"
#include "package_record.h"
#include "printable_text.h"
#include "root_paths.h"

namespace {

// What a run keeps from one package to the next.
struct Run {
    const Unpacker& settings;
    uid_t euid;
    gid_t egid;
    ParentCache parents;
    bool ok = true;                    // everything so far went in
    bool read_error_reported = false;  // the failed read has been told
};

// A directory whose owner, mode and time wait until its entries are in.
struct PendingDirectory {
    size_t length;  // of its path, which is the start of PendingDirectories::path
    EntryHeader header;
};

// The directories of a package still waiting. Entries come in pre-order,
// so each waiting directory is an ancestor of the next and they share one
// path: `path` is the deepest one's. A directory is finished as soon as an
// entry outside it comes; memory grows with the depth of the tree, never
// with the number of directories.
struct PendingDirectories {
    std::string path;
    std::vector<PendingDirectory> stack;
};

// The package being installed.
struct Package {
    uint64_t start = 0;         // input offset of its file header
    uint64_t end = 0;           // input offset just past it, by its length field
    std::string name;           // from its identification, empty until then
    bool identified = false;    // the identification has been read
    bool refused = false;       // made for a later content format: nothing is installed
    bool errors = false;        // something was refused or went wrong
    bool described = false;     // the description has been taken
    bool dependencies = false;  // the dependency list has been taken
    unsigned entries = 0;
    unsigned installed = 0;
    uint32_t header_check = 0;  // running check value over what the trailer covers
    bool trailer_seen = false;
    PendingDirectories directories;
    InstalledRecord record;
};

// How reading a part ended.
enum class PartEnd { READ, DAMAGED, INPUT_ENDED };

std::string quoted(const std::string& path) {
    return "\"" + printable_text(path) + "\"";
}

void complain(Run& run, Package& p, const std::string& message) {
    fprintf(run.settings.err, "brindlex-unpack: %s: %s\n",
            p.name.empty() ? "(package)" : printable_text(p.name).c_str(), message.c_str());
    fflush(run.settings.err);
    p.errors = true;
    run.ok = false;
}

// What to say when the input stops inside a package.
std::string input_stopped(const UnpackInput& in) {
    return in.read_error ? std::string("the input could not be read") : "the package is truncated";
}

void set_times(const EntryHeader& h, struct timespec* t) {
    t[0].tv_sec = t[1].tv_sec = time_t(h.mtime);
    t[0].tv_nsec = t[1].tv_nsec = long(h.mtime_nsec);
}

// Passes over the data of an entry and takes its check value into the
// package's header check. False when the input stops first.
bool skip_entry_rest(UnpackInput& in, Package& p, uint64_t data) {
    unsigned char check[ENTRY_CHECK_SIZE];
    if (input_skip(in, data) < data || !input_read(in, check, sizeof check)) return false;
    p.header_check = crc32_update(p.header_check, check, sizeof check);
    return true;
}

void finish_directory(Run& run, Package& p, const std::string& path, const EntryHeader& h) {
    std::string leaf, why;
    int dir = open_parent(run.settings.root_fd, run.parents, path, &leaf, &why);
    if (dir < 0) {
        complain(run, p, "cannot finish the directory " + quoted(path) + ": " + why);
        return;
    }
    int fd = openat(dir, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        complain(run, p, "cannot open the directory " + quoted(path) + ": " + strerror(errno));
        return;
    }
    struct timespec t[2];
    set_times(h, t);
    if (run.settings.as_root && fchown(fd, h.uid, h.gid) != 0)
        complain(run, p, "cannot set the owner of " + quoted(path) + ": " + strerror(errno));
    if (fchmod(fd, h.mode & 07777) != 0 || futimens(fd, t) != 0)
        complain(run, p, "cannot set the mode or time of " + quoted(path) + ": " + strerror(errno));
    close(fd);
}

// Finishes the waiting directories that do not hold path (all of them
// when path is empty), the deepest first.
void finish_directories_outside(Run& run, Package& p, const std::string& path) {
    PendingDirectories& d = p.directories;
    while (!d.stack.empty()) {
        size_t n = d.stack.back().length;
        bool holds = !path.empty() && path.size() > n && path[n] == '/' &&
                     path.compare(0, n, d.path, 0, n) == 0;
        if (holds) break;
        EntryHeader h = d.stack.back().header;
        d.stack.pop_back();
        finish_directory(run, p, d.path.substr(0, n), h);
    }
}

void entry_installed(Package& p, const std::string& path) {
    ++p.installed;
    if (record_open(p.record)) record_line(p.record, "path", path);
}

// Writes the data of a file entry (`data` bytes, then its check value)
// under no name beside its place, checks it and puts it in place. `crc`
// covers the entry's head and path. False when the input stops first.
bool install_file(Run& run, Package& p, UnpackInput& in, const EntryHeader& h,
                  const std::string& path, uint32_t crc, uint64_t data) {
    std::string leaf, why;
    int dir = open_parent(run.settings.root_fd, run.parents, path, &leaf, &why);
    NewFile file;
    bool opened = dir >= 0 && new_file_open(file, dir, h.mode & 0777, &why);
    int write_error = 0;
    uint64_t left = data;
    while (left > 0 && input_fill(in)) {
        size_t take = size_t(std::min<uint64_t>(left, input_available(in)));
        const unsigned char* bytes = input_bytes(in);
        crc = crc32_update(crc, bytes, take);
        size_t done = 0;
        while (opened && write_error == 0 && done < take) {
            ssize_t n = write(file.fd, bytes + done, take - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0)
                write_error = errno;
            else
                done += size_t(n);
        }
        input_consume(in, take);
        left -= take;
    }
    unsigned char check[ENTRY_CHECK_SIZE];
    bool complete = left == 0 && input_read(in, check, sizeof check);
    if (complete) p.header_check = crc32_update(p.header_check, check, sizeof check);
    bool placed = false;
    if (!opened) {
        complain(run, p, "refused " + quoted(path) + ": " + why);
    } else if (!complete) {
        complain(run, p,
                 quoted(path) + (in.read_error ? " is not installed: the input could not be read"
                                               : " is cut short: the package is truncated"));
    } else if (load_le32(check) != crc) {
        complain(run, p, quoted(path) + " is damaged (check value differs); not installed");
    } else if (write_error != 0) {
        complain(run, p, "cannot write " + quoted(path) + ": " + strerror(write_error));
    } else {
        struct timespec t[2];
        set_times(h, t);
        // Made with its permission bits already (umask is 0); the owner and
        // the set-id bits, which a change of owner clears, come after.
        bool owner_differs = h.uid != run.euid || h.gid != run.egid;
        bool chowned = run.settings.as_root && owner_differs;
        if (chowned && fchown(file.fd, h.uid, h.gid) != 0)
            complain(run, p, "cannot set the owner of " + quoted(path) + ": " + strerror(errno));
        bool mode_left = (h.mode & 07000) != 0 || chowned;
        if ((mode_left && fchmod(file.fd, h.mode & 07777) != 0) || futimens(file.fd, t) != 0)
            complain(run, p,
                     "cannot set the mode or time of " + quoted(path) + ": " + strerror(errno));
        placed = new_file_place(file, leaf.c_str(), &why);
        if (placed)
            entry_installed(p, path);
        else
            complain(run, p, "cannot put " + quoted(path) + " in place: " + why);
    }
    if (opened && !placed) new_file_discard(file);
    return complete;
}

void install_symlink(Run& run, Package& p, const EntryHeader& h, const std::string& path,
                     const std::string& target) {
    if (target.empty() || target.find('\0') != std::string::npos) {
        complain(run, p, "refused " + quoted(path) + ": bad link target");
        return;
    }
    std::string leaf, why;
    int dir = open_parent(run.settings.root_fd, run.parents, path, &leaf, &why);
    if (dir < 0) {
        complain(run, p, "refused " + quoted(path) + ": " + why);
        return;
    }
    struct timespec t[2];
    set_times(h, t);
    if (place_symlink(dir, leaf.c_str(), target, run.settings.as_root, h.uid, h.gid, t, &why))
        entry_installed(p, path);
    else
        complain(run, p, quoted(path) + ": " + why);
}

void install_directory(Run& run, Package& p, const EntryHeader& h, const std::string& path) {
    std::string leaf, why;
    int dir = open_parent(run.settings.root_fd, run.parents, path, &leaf, &why);
    if (dir < 0) {
        complain(run, p, "refused " + quoted(path) + ": " + why);
        return;
    }
    if (mkdirat(dir, leaf.c_str(), 0700) != 0) {
        int e = errno;
        bool made = false;
        if (e == EEXIST) {
            // A directory is kept; a file or link in the way is replaced,
            // never followed.
            struct stat st;
            if (fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
                made = true;
            else if (unlinkat(dir, leaf.c_str(), 0) == 0 && mkdirat(dir, leaf.c_str(), 0700) == 0)
                made = true;
            else
                e = errno;
        }
        if (!made) {
            complain(run, p, "cannot make the directory " + quoted(path) + ": " + strerror(e));
            return;
        }
    }
    p.directories.path = path;
    p.directories.stack.push_back(PendingDirectory{path.size(), h});
    entry_installed(p, path);
}

// Reads the rest of a content entry (types 16, 17, 18) whose part holds
// `length` bytes, and installs it unless a rule refuses it.
PartEnd read_entry(Run& run, Package& p, UnpackInput& in, int type, uint32_t length,
                   const char* where) {
    ++p.entries;
    if (length < ENTRY_HEADER_SIZE + ENTRY_CHECK_SIZE) {
        complain(run, p, std::string("damaged package: entry at offset ") + where + " too short");
        return PartEnd::DAMAGED;
    }
    unsigned char head[ENTRY_HEADER_SIZE];
    if (!input_read(in, head, sizeof head)) return PartEnd::INPUT_ENDED;
    EntryHeader h;
    decode_entry_header(head, &h);
    uint64_t rest = length - ENTRY_HEADER_SIZE - ENTRY_CHECK_SIZE;  // path and data
    const char* bad_length = h.path_length == 0               ? "empty path"
                             : h.path_length > rest           ? "path longer than its entry"
                             : h.path_length > MAX_ENTRY_PATH ? "path too long"
                                                              : nullptr;
    if (bad_length != nullptr) {
        if (!p.refused)
            complain(run, p,
                     std::string("refused the entry at offset ") + where + ": " + bad_length);
        return skip_entry_rest(in, p, rest) ? PartEnd::READ : PartEnd::INPUT_ENDED;
    }
    std::string path(h.path_length, '\0');
    if (!input_read(in, &path[0], path.size())) return PartEnd::INPUT_ENDED;
    uint64_t data = rest - h.path_length;
    const char* broken = path_rule_broken(path);
    if (broken == nullptr) broken = entry_fields_broken(h);
    if (broken == nullptr && type != PART_FILE && data > MAX_LINK_TARGET)
        broken = type == PART_SYMLINK ? "link target too long" : "a directory entry with data";
    if (broken == nullptr && type == PART_DIRECTORY && data > 0)
        broken = "a directory entry with data";
    if (p.refused || broken != nullptr) {
        if (!p.refused) complain(run, p, "refused " + quoted(path) + ": " + broken);
        return skip_entry_rest(in, p, data) ? PartEnd::READ : PartEnd::INPUT_ENDED;
    }
    finish_directories_outside(run, p, path);
    uint32_t crc = crc32_update(0, head, sizeof head);
    crc = crc32_update(crc, path.data(), path.size());
    if (type == PART_FILE)
        return install_file(run, p, in, h, path, crc, data) ? PartEnd::READ : PartEnd::INPUT_ENDED;
    std::string target(size_t(data), '\0');
    unsigned char check[ENTRY_CHECK_SIZE];
    if (!input_read(in, &target[0], target.size()) || !input_read(in, check, sizeof check))
        return PartEnd::INPUT_ENDED;
    p.header_check = crc32_update(p.header_check, check, sizeof check);
    crc = crc32_update(crc, target.data(), target.size());
    if (load_le32(check) != crc)
        complain(run, p, quoted(path) + " is damaged (check value differs); not installed");
    else if (type == PART_DIRECTORY)
        install_directory(run, p, h, path);
    else
        install_symlink(run, p, h, path, target);
    return PartEnd::READ;
}

// Takes the identification record (its first 32 bytes, which may arrive in
// pieces): the name for messages and the record, and the content format.
void take_identification(Run& run, Package& p, const unsigned char* record, size_t length) {
    if (p.identified) return;
    p.identified = true;
    unsigned char field[NAME_SIZE] = {};
    memcpy(field, record, std::min(length, NAME_SIZE));
    p.name = name_from_field(field);
    if (length < IDENTIFICATION_SIZE) {
        complain(run, p, "damaged package: identification record shorter than 32 bytes");
    } else if (load_le16(record + NAME_SIZE) > CONTENT_FORMAT_VERSION) {
        complain(run, p, "made for a later content format; not installed");
        p.refused = true;
        return;
    }
    std::string why;
    if (run.settings.keep_records && !p.name.empty() &&
        !record_begin(p.record, run.settings.root_fd, p.name, &why))
        complain(run, p, "cannot keep the record of the package: " + why);
}

// Reads a part that is not a content entry or the trailer: into the header
// check, and the identification, description and dependencies into the
// package's record.
PartEnd read_other_part(Run& run, Package& p, UnpackInput& in, int type, uint32_t length) {
    unsigned char head[IDENTIFICATION_SIZE];  // identification, or a dependency record
    size_t held = 0;
    bool first_identification = type == PART_IDENTIFICATION && !p.identified;
    bool description = type == PART_DESCRIPTION && !p.described && record_open(p.record);
    bool dependencies = type == PART_DEPENDENCIES && !p.dependencies && record_open(p.record);
    if (type == PART_DESCRIPTION) p.described = true;
    if (type == PART_DEPENDENCIES) p.dependencies = true;
    if (description) record_key(p.record, "description");
    unsigned count = 0, taken = 0;
    uint64_t at = 0;
    while (at < length && input_fill(in)) {
        size_t take = size_t(std::min<uint64_t>(length - at, input_available(in)));
        const unsigned char* bytes = input_bytes(in);
        p.header_check = crc32_update(p.header_check, bytes, take);
        if (description) record_value_bytes(p.record, reinterpret_cast<const char*>(bytes), take);
        for (size_t i = 0; i < take && (first_identification || dependencies); ++i) {
            uint64_t offset = at + i;
            if (first_identification) {
                if (held < IDENTIFICATION_SIZE) head[held++] = bytes[i];
            } else if (offset < 2) {
                count |= unsigned(bytes[i]) << (8 * offset);
            } else if (taken < count) {
                head[held++] = bytes[i];
                if (held == DEPENDENCY_RECORD_SIZE) {
                    record_line(p.record, "depends", name_from_field(head));
                    held = 0;
                    ++taken;
                }
            }
        }
        input_consume(in, take);
        at += take;
    }
    if (description) record_line_end(p.record);
    if (at < length) return PartEnd::INPUT_ENDED;
    if (first_identification) take_identification(run, p, head, held);
    return PartEnd::READ;
}

PartEnd read_trailer(Run& run, Package& p, UnpackInput& in, uint32_t length, const char* where) {
    if (length != TRAILER_SIZE) {
        complain(run, p, std::string("damaged package: bad trailer at offset ") + where);
        return PartEnd::DAMAGED;
    }
    unsigned char trailer[TRAILER_SIZE];
    if (!input_read(in, trailer, sizeof trailer)) return PartEnd::INPUT_ENDED;
    p.trailer_seen = true;
    if (load_le32(trailer) != p.entries)
        complain(run, p, "damaged package: the trailer counts a different number of entries");
    else if (load_le32(trailer + 4) != p.header_check)
        complain(run, p, "damaged package: header check value differs");
    return PartEnd::READ;
}

// Installs one package whose file header has been read. False when the
// input ended or failed inside it.
bool unpack_package(Run& run, UnpackInput& in, const unsigned char* file_header) {
    Package p;
    p.end = in.offset + load_le32(file_header + 4);
    p.start = in.offset - FILE_HEADER_SIZE;
    p.header_check = crc32_update(0, file_header, FILE_HEADER_SIZE);
    PartEnd state = PartEnd::READ;
    char where[32];
    while (in.offset < p.end && state == PartEnd::READ) {
        snprintf(where, sizeof where, "%llu", (unsigned long long)(in.offset - p.start));
        if (p.end - in.offset < PART_HEADER_SIZE) {
            complain(run, p,
                     std::string("damaged package: part header at offset ") + where +
                         " runs past its end");
            state = PartEnd::DAMAGED;
            break;
        }
        unsigned char part[PART_HEADER_SIZE];
        if (!input_read(in, part, sizeof part)) {
            state = PartEnd::INPUT_ENDED;
            break;
        }
        p.header_check = crc32_update(p.header_check, part, sizeof part);
        int type = load_le16(part);
        uint32_t length = load_le32(part + 2);
        if (length > p.end - in.offset) {
            complain(
                run, p,
                std::string("damaged package: the part at offset ") + where + " runs past its end");
            state = PartEnd::DAMAGED;
        } else if (p.trailer_seen) {
            complain(run, p,
                     std::string("damaged package: a part follows the trailer at offset ") + where);
            state = PartEnd::DAMAGED;
        } else if (type == PART_DIRECTORY || type == PART_FILE || type == PART_SYMLINK) {
            state = read_entry(run, p, in, type, length, where);
        } else if (type == PART_TRAILER) {
            state = read_trailer(run, p, in, length, where);
        } else {
            state = read_other_part(run, p, in, type, length);
        }
    }
    finish_directories_outside(run, p, "");
    if (state == PartEnd::INPUT_ENDED) {
        if (in.read_error) {
            complain(run, p,
                     std::string("cannot read the input: ") + strerror(in.read_error) +
                         " (at offset " + std::to_string(in.offset - p.start) + " of the package)");
            run.read_error_reported = true;
        } else {
            complain(run, p,
                     "the package is truncated (input ended at offset " +
                         std::to_string(in.offset - p.start) + " of the package)");
        }
    } else if (state == PartEnd::DAMAGED) {
        uint64_t want = p.end - in.offset;
        if (input_skip(in, want) < want) {
            complain(run, p, input_stopped(in));
            state = PartEnd::INPUT_ENDED;
        }
    } else if (!p.trailer_seen) {
        complain(run, p, "damaged or truncated package: no trailer");
    }
    // A file written is in memory until the kernel writes it out: a disk
    // that fails under it shows only here (the errors since the run began); the
    // record then says the package is incomplete.
    if (run.settings.write_out && !p.refused && syncfs(run.settings.root_fd) != 0)
        complain(run, p,
                 std::string("cannot write the package out to the disk: ") + strerror(errno));
    if (record_open(p.record)) {
        std::string why;
        if (p.refused)
            record_discard(p.record);
        else if (!record_finish(p.record, p.name, !p.errors, &why))
            complain(run, p, "cannot keep the record of the package: " + why);
    }
    if (!run.settings.quiet) {
        fprintf(run.settings.out, "%s: %u of %u entries installed%s\n",
                p.name.empty() ? "(unnamed package)" : printable_text(p.name).c_str(), p.installed,
                p.entries, p.errors ? " (with errors)" : "");
        fflush(run.settings.out);
    }
    return state != PartEnd::INPUT_ENDED;
}

}  // namespace

bool unpack_stream(const Unpacker& unpacker, UnpackInput& in) {
    Run run{unpacker, geteuid(), getegid(), ParentCache{}};
    unsigned packages = 0;
    bool garbage = false;
    for (;;) {
        unsigned char head[FILE_HEADER_SIZE];
        size_t got = 0;
        while (got < FILE_HEADER_SIZE && input_fill(in)) {
            size_t take = std::min(FILE_HEADER_SIZE - got, input_available(in));
            memcpy(head + got, input_bytes(in), take);
            input_consume(in, take);
            got += take;
        }
        if (got == 0) break;
        uint32_t magic = got == FILE_HEADER_SIZE ? load_le32(head) : 0;
        if (magic != CONTENT_PACKAGE_MAGIC && magic != CONTENT_PACKAGE_MAGIC_ALT) {
            uint64_t at = in.offset - got;
            uint64_t rest = input_skip(in, UINT64_MAX);
            fprintf(unpacker.err,
                    "brindlex-unpack: no package at input offset %llu (%llu bytes passed over)\n",
                    (unsigned long long)at, (unsigned long long)(rest + got));
            garbage = true;
            run.ok = false;
            break;
        }
        ++packages;
        if (!unpack_package(run, in, head)) break;
    }
    // Whatever follows a package cut short is read, so the writer is never
    // left blocked on a pipe.
    input_skip(in, UINT64_MAX);
    if (in.read_error != 0 && !run.read_error_reported) {
        fprintf(unpacker.err, "brindlex-unpack: cannot read the input: %s\n",
                strerror(in.read_error));
        run.ok = false;
    } else if (packages == 0 && !garbage && in.read_error == 0) {
        fprintf(unpacker.err, "brindlex-unpack: the input holds no package\n");
        run.ok = false;
    }
    fflush(unpacker.err);
    close_parent_cache(run.parents);
    return run.ok;
}
