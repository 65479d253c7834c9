#include "package_builder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "package_content.h"

namespace {

constexpr size_t IO_BLOCK = 1 << 20;

// One directory entry of the tree, found before anything is written so
// that the package length is known up front.
struct TreeEntry {
    std::string path;         // relative to the tree, no leading slash
    struct stat info;         // from lstat
    std::string link_target;  // symbolic links only
};

bool fail(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
}

std::string errno_text(const std::string& what) {
    return what + ": " + strerror(errno);
}

// Collects the entries below dir (relative name prefix rel) in pre-order,
// names sorted bytewise, so that every directory comes before its content.
bool collect_tree(const std::string& dir, const std::string& rel, std::vector<TreeEntry>* out,
                  std::string* error) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return fail(error, errno_text("cannot read directory " + dir));
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        names.push_back(e->d_name);
    }
    int read_errno = errno;
    closedir(d);
    if (read_errno != 0) {
        errno = read_errno;
        return fail(error, errno_text("cannot read directory " + dir));
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        TreeEntry entry;
        entry.path = rel.empty() ? name : rel + "/" + name;
        std::string full = dir + "/" + name;
        if (lstat(full.c_str(), &entry.info) != 0)
            return fail(error, errno_text("cannot stat " + full));
        if (const char* why = path_rule_broken(entry.path))
            return fail(error, full + ": cannot be packed (" + why + ")");
        mode_t type = entry.info.st_mode & S_IFMT;
        if (type == S_IFLNK) {
            std::vector<char> target(MAX_LINK_TARGET + 2);
            ssize_t n = readlink(full.c_str(), target.data(), target.size());
            if (n < 0) return fail(error, errno_text("cannot read symbolic link " + full));
            if (n == 0 || size_t(n) > MAX_LINK_TARGET)
                return fail(error, full + ": symbolic link target too long");
            entry.link_target.assign(target.data(), size_t(n));
            out->push_back(entry);
        } else if (type == S_IFREG) {
            if (access(full.c_str(), R_OK) != 0)
                return fail(error, errno_text("cannot read file " + full));
            out->push_back(entry);
        } else if (type == S_IFDIR) {
            out->push_back(entry);
            if (!collect_tree(full, entry.path, out, error)) return false;
        } else {
            return fail(error, full + ": not a file, directory or symbolic link");
        }
    }
    return true;
}

// Buffered output to the temporary package file that also keeps the
// trailer's running check value over the bytes it is told to include.
struct PackageWriter {
    int fd = -1;
    std::vector<unsigned char> buffer;
    size_t used = 0;
    uint32_t header_check = 0;
    uint64_t written = 0;
    int error_number = 0;  // first write error, 0 if none
};

void writer_flush(PackageWriter& w) {
    size_t done = 0;
    while (done < w.used && w.error_number == 0) {
        ssize_t n = write(w.fd, w.buffer.data() + done, w.used - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            w.error_number = errno;
        } else {
            done += size_t(n);
        }
    }
    w.used = 0;
}

void writer_put(PackageWriter& w, const void* data, size_t n, bool checked) {
    if (checked) w.header_check = crc32_update(w.header_check, data, n);
    w.written += n;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        size_t room = w.buffer.size() - w.used;
        size_t take = std::min(room, n);
        memcpy(w.buffer.data() + w.used, p, take);
        w.used += take;
        p += take;
        n -= take;
        if (w.used == w.buffer.size()) writer_flush(w);
    }
}

void writer_part_header(PackageWriter& w, int type, uint32_t length) {
    unsigned char h[PART_HEADER_SIZE];
    store_le16(h, uint16_t(type));
    store_le32(h + 2, length);
    writer_put(w, h, sizeof h, true);
}

void name_field(const std::string& name, unsigned char* field) {
    memset(field, 0, NAME_SIZE);
    memcpy(field, name.data(), std::min(name.size(), NAME_SIZE));
}

const char* name_rule_broken(const std::string& name) {
    if (name.empty()) return "is empty";
    if (name.size() > NAME_SIZE) return "is longer than 16 bytes";
    if (name.find('\0') != std::string::npos) return "holds a NUL byte";
    return nullptr;
}

int part_type_of(const TreeEntry& e) {
    switch (e.info.st_mode & S_IFMT) {
        case S_IFDIR:
            return PART_DIRECTORY;
        case S_IFLNK:
            return PART_SYMLINK;
        default:
            return PART_FILE;
    }
}

uint64_t entry_data_size(const TreeEntry& e) {
    switch (part_type_of(e)) {
        case PART_FILE:
            return uint64_t(e.info.st_size);
        case PART_SYMLINK:
            return e.link_target.size();
        default:
            return 0;
    }
}

uint64_t entry_part_length(const TreeEntry& e) {
    return ENTRY_HEADER_SIZE + e.path.size() + entry_data_size(e) + ENTRY_CHECK_SIZE;
}

// Writes one content entry; file data is copied from the tree in blocks.
bool write_entry(PackageWriter& w, const std::string& tree, const TreeEntry& e, bool root_owner,
                 std::vector<unsigned char>& block, std::string* error) {
    uint64_t length = entry_part_length(e);
    writer_part_header(w, part_type_of(e), uint32_t(length));
    EntryHeader h;
    h.path_length = uint16_t(e.path.size());
    h.mode = uint32_t(e.info.st_mode & 07777);
    h.uid = root_owner ? 0 : uint32_t(e.info.st_uid);
    h.gid = root_owner ? 0 : uint32_t(e.info.st_gid);
    h.mtime = e.info.st_mtim.tv_sec < 0 ? 0 : uint64_t(e.info.st_mtim.tv_sec);
    h.mtime_nsec = uint32_t(e.info.st_mtim.tv_nsec);
    unsigned char head[ENTRY_HEADER_SIZE];
    encode_entry_header(h, head);
    uint32_t crc = crc32_update(0, head, sizeof head);
    crc = crc32_update(crc, e.path.data(), e.path.size());
    writer_put(w, head, sizeof head, false);
    writer_put(w, e.path.data(), e.path.size(), false);
    if (part_type_of(e) == PART_SYMLINK) {
        crc = crc32_update(crc, e.link_target.data(), e.link_target.size());
        writer_put(w, e.link_target.data(), e.link_target.size(), false);
    } else if (part_type_of(e) == PART_FILE) {
        std::string full = tree + "/" + e.path;
        int fd = open(full.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return fail(error, errno_text("cannot read file " + full));
        uint64_t left = uint64_t(e.info.st_size);
        while (left > 0) {
            ssize_t n = read(fd, block.data(), size_t(std::min<uint64_t>(left, block.size())));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                int saved = errno;
                close(fd);
                errno = saved;
                return fail(error, errno_text("cannot read file " + full));
            }
            if (n == 0) {
                close(fd);
                return fail(error, full + ": file shrank while it was being packed");
            }
            crc = crc32_update(crc, block.data(), size_t(n));
            writer_put(w, block.data(), size_t(n), false);
            left -= uint64_t(n);
        }
        close(fd);
    }
    unsigned char check[ENTRY_CHECK_SIZE];
    store_le32(check, crc);
    writer_put(w, check, sizeof check, true);
    return true;
}

// Sequential reading of a package file for listing and checking.
struct FileScan {
    FILE* file = nullptr;
    uint64_t offset = 0;
};

bool scan_read(FileScan& s, void* buffer, size_t n) {
    size_t got = fread(buffer, 1, n, s.file);
    s.offset += got;
    return got == n;
}

// What the walk over a package found about one part.
struct PartInfo {
    uint64_t offset;  // file offset of the part header
    int type;
    uint32_t length;
    bool is_entry;
    EntryHeader entry;
    std::string path;
    std::string link_target;
    std::string text;  // name, description or dependency names
};

// Walks every part of the package at path, checking every check value,
// and calls visit for each. Stops at the first fault.
template <typename Visit>
bool walk_package(const std::string& path, Visit visit, std::string* error) {
    FileScan s;
    s.file = fopen(path.c_str(), "rb");
    if (s.file == nullptr) return fail(error, errno_text("cannot open " + path));
    std::unique_ptr<FILE, int (*)(FILE*)> closer(s.file, fclose);
    unsigned char head[FILE_HEADER_SIZE];
    if (!scan_read(s, head, sizeof head)) return fail(error, path + ": shorter than a file header");
    uint32_t magic = load_le32(head);
    if (magic != CONTENT_PACKAGE_MAGIC && magic != CONTENT_PACKAGE_MAGIC_ALT)
        return fail(error, path + ": not a package file (unknown magic)");
    uint64_t end = FILE_HEADER_SIZE + uint64_t(load_le32(head + 4));
    uint32_t header_check = crc32_update(0, head, sizeof head);
    uint32_t entries = 0;
    std::vector<unsigned char> block(IO_BLOCK);
    char where[64];
    while (s.offset < end) {
        snprintf(where, sizeof where, " at offset %" PRIu64, s.offset);
        PartInfo part{};
        part.offset = s.offset;
        unsigned char ph[PART_HEADER_SIZE];
        if (end - s.offset < PART_HEADER_SIZE || !scan_read(s, ph, sizeof ph))
            return fail(error, path + ": truncated part header" + where);
        header_check = crc32_update(header_check, ph, sizeof ph);
        part.type = load_le16(ph);
        part.length = load_le32(ph + 2);
        if (part.length > end - s.offset)
            return fail(error, path + ": part" + where + " runs past the end of the package");
        part.is_entry =
            part.type == PART_DIRECTORY || part.type == PART_FILE || part.type == PART_SYMLINK;
        if (part.is_entry) {
            if (part.length < ENTRY_HEADER_SIZE + ENTRY_CHECK_SIZE)
                return fail(error, path + ": entry" + where + " too short");
            unsigned char eh[ENTRY_HEADER_SIZE];
            if (!scan_read(s, eh, sizeof eh)) return fail(error, path + ": truncated" + where);
            uint32_t crc = crc32_update(0, eh, sizeof eh);
            decode_entry_header(eh, &part.entry);
            uint64_t rest = part.length - ENTRY_HEADER_SIZE - ENTRY_CHECK_SIZE;
            if (part.entry.path_length > rest)
                return fail(error, path + ": entry" + where + " has a path longer than its part");
            part.path.resize(part.entry.path_length);
            if (!scan_read(s, &part.path[0], part.path.size()))
                return fail(error, path + ": truncated" + where);
            crc = crc32_update(crc, part.path.data(), part.path.size());
            rest -= part.entry.path_length;
            if (part.type == PART_SYMLINK && rest <= MAX_LINK_TARGET) {
                part.link_target.resize(size_t(rest));
                if (!scan_read(s, &part.link_target[0], size_t(rest)))
                    return fail(error, path + ": truncated" + where);
                crc = crc32_update(crc, part.link_target.data(), size_t(rest));
                rest = 0;
            }
            while (rest > 0) {
                size_t take = size_t(std::min<uint64_t>(rest, block.size()));
                if (!scan_read(s, block.data(), take))
                    return fail(error, path + ": truncated" + where);
                crc = crc32_update(crc, block.data(), take);
                rest -= take;
            }
            unsigned char ck[ENTRY_CHECK_SIZE];
            if (!scan_read(s, ck, sizeof ck)) return fail(error, path + ": truncated" + where);
            header_check = crc32_update(header_check, ck, sizeof ck);
            if (load_le32(ck) != crc)
                return fail(error, path + ": entry \"" + part.path + "\"" + where +
                                       " is damaged (check value differs)");
            ++entries;
        } else if (part.type == PART_TRAILER) {
            unsigned char tr[TRAILER_SIZE];
            if (part.length != TRAILER_SIZE || !scan_read(s, tr, sizeof tr))
                return fail(error, path + ": bad trailer" + where);
            if (s.offset != end)
                return fail(error, path + ": trailer" + where + " is not the last part");
            if (load_le32(tr) != entries)
                return fail(error, path + ": trailer counts a different number of entries");
            if (load_le32(tr + 4) != header_check)
                return fail(error, path + ": damaged (header check value differs)");
            if (!visit(part)) return false;
            return true;
        } else {
            // Identification, description, dependencies or an unknown part.
            uint64_t rest = part.length;
            std::string keep;
            while (rest > 0) {
                size_t take = size_t(std::min<uint64_t>(rest, block.size()));
                if (!scan_read(s, block.data(), take))
                    return fail(error, path + ": truncated" + where);
                header_check = crc32_update(header_check, block.data(), take);
                if (keep.size() < 65536) keep.append(reinterpret_cast<char*>(block.data()), take);
                rest -= take;
            }
            if (part.type == PART_IDENTIFICATION && keep.size() >= NAME_SIZE) {
                part.text = name_from_field(reinterpret_cast<const unsigned char*>(keep.data()));
            } else if (part.type == PART_DESCRIPTION) {
                part.text = keep;
            } else if (part.type == PART_DEPENDENCIES && keep.size() >= 2) {
                const unsigned char* k = reinterpret_cast<const unsigned char*>(keep.data());
                size_t count = load_le16(k);
                for (size_t i = 0; i < count && 2 + (i + 1) * DEPENDENCY_RECORD_SIZE <= keep.size();
                     ++i) {
                    if (i > 0) part.text += ' ';
                    part.text += name_from_field(k + 2 + i * DEPENDENCY_RECORD_SIZE);
                }
            }
        }
        if (!visit(part)) return false;
    }
    return fail(error, path + ": no trailer (truncated package?)");
}

}  // namespace

bool build_package(const PackageSource& source, const std::string& out_path, std::string* error) {
    if (const char* why = name_rule_broken(source.name))
        return fail(error, "package name \"" + source.name + "\" " + why);
    if (source.depends.size() > 65535) return fail(error, "too many dependencies");
    for (const std::string& dep : source.depends)
        if (const char* why = name_rule_broken(dep))
            return fail(error, "dependency name \"" + dep + "\" " + why);
    if (out_path.empty()) return fail(error, "no output file given");

    std::vector<TreeEntry> entries;
    std::string tree = source.tree;
    while (tree.size() > 1 && tree.back() == '/') tree.pop_back();
    if (!tree.empty()) {
        struct stat st;
        if (stat(tree.c_str(), &st) != 0)
            return fail(error, errno_text("cannot use directory " + tree));
        if (!S_ISDIR(st.st_mode)) return fail(error, tree + ": not a directory");
        if (!collect_tree(tree, "", &entries, error)) return false;
    }

    uint64_t total = 0;  // everything after the file header
    total += PART_HEADER_SIZE + IDENTIFICATION_SIZE;
    total += PART_HEADER_SIZE + uint64_t(source.description.size());
    total += PART_HEADER_SIZE + 2 + DEPENDENCY_RECORD_SIZE * uint64_t(source.depends.size());
    for (const TreeEntry& e : entries) {
        uint64_t n = entry_part_length(e);
        if (n > 0xFFFFFFFFu)
            return fail(error, tree + "/" + e.path + ": file too large for a package");
        total += PART_HEADER_SIZE + n;
    }
    total += PART_HEADER_SIZE + TRAILER_SIZE;
    if (total > 0xFFFFFFFFu - FILE_HEADER_SIZE)
        return fail(error, "package would be larger than 4 GiB");
    if (entries.size() > 0xFFFFFFFFu) return fail(error, "too many entries");

    std::string temp = out_path + ".XXXXXX";
    std::vector<char> temp_name(temp.begin(), temp.end());
    temp_name.push_back('\0');
    PackageWriter w;
    w.fd = mkstemp(temp_name.data());
    if (w.fd < 0) return fail(error, errno_text("cannot create " + out_path));
    temp.assign(temp_name.data());
    w.buffer.resize(IO_BLOCK);
    std::vector<unsigned char> block(IO_BLOCK);

    auto abandon = [&](const std::string& text) {
        close(w.fd);
        unlink(temp.c_str());
        return fail(error, text);
    };

    unsigned char head[FILE_HEADER_SIZE];
    store_le32(head, source.alt_magic ? CONTENT_PACKAGE_MAGIC_ALT : CONTENT_PACKAGE_MAGIC);
    store_le32(head + 4, uint32_t(total));
    writer_put(w, head, sizeof head, true);

    unsigned char ident[IDENTIFICATION_SIZE] = {};
    name_field(source.name, ident);
    store_le16(ident + NAME_SIZE, CONTENT_FORMAT_VERSION);
    writer_part_header(w, PART_IDENTIFICATION, IDENTIFICATION_SIZE);
    writer_put(w, ident, sizeof ident, true);

    writer_part_header(w, PART_DESCRIPTION, uint32_t(source.description.size()));
    writer_put(w, source.description.data(), source.description.size(), true);

    writer_part_header(w, PART_DEPENDENCIES,
                       uint32_t(2 + DEPENDENCY_RECORD_SIZE * source.depends.size()));
    unsigned char count[2];
    store_le16(count, uint16_t(source.depends.size()));
    writer_put(w, count, sizeof count, true);
    for (const std::string& dep : source.depends) {
        unsigned char record[DEPENDENCY_RECORD_SIZE] = {};
        name_field(dep, record);
        writer_put(w, record, sizeof record, true);
    }

    for (const TreeEntry& e : entries) {
        std::string why;
        if (!write_entry(w, tree, e, source.root_owner, block, &why)) return abandon(why);
    }

    writer_part_header(w, PART_TRAILER, TRAILER_SIZE);
    unsigned char trailer[TRAILER_SIZE];
    store_le32(trailer, uint32_t(entries.size()));
    store_le32(trailer + 4, w.header_check);
    writer_put(w, trailer, sizeof trailer, false);
    writer_flush(w);
    if (w.error_number != 0) {
        errno = w.error_number;
        return abandon(errno_text("cannot write " + out_path));
    }
    if (w.written != total + FILE_HEADER_SIZE)
        return abandon(tree + ": the tree changed while it was being packed");
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(w.fd, 0666 & ~mask) != 0 || fsync(w.fd) != 0)
        return abandon(errno_text("cannot write " + out_path));
    if (close(w.fd) != 0) {
        unlink(temp.c_str());
        return fail(error, errno_text("cannot write " + out_path));
    }
    if (rename(temp.c_str(), out_path.c_str()) != 0) {
        int saved = errno;
        unlink(temp.c_str());
        errno = saved;
        return fail(error, errno_text("cannot rename the new package to " + out_path));
    }
    return true;
}

bool list_package(const std::string& path, FILE* out, std::string* error) {
    auto visit = [out](const PartInfo& p) {
        fprintf(out, "%10" PRIu64 "  type %5d  length %10" PRIu32 "  ", p.offset, p.type, p.length);
        if (p.is_entry) {
            const char* kind = p.type == PART_DIRECTORY ? "dir "
                               : p.type == PART_FILE    ? "file"
                                                        : "link";
            fprintf(out, "%s %04o %u:%u %" PRIu64 " %s", kind, unsigned(p.entry.mode), p.entry.uid,
                    p.entry.gid, p.entry.mtime, p.path.c_str());
            if (p.type == PART_SYMLINK) fprintf(out, " -> %s", p.link_target.c_str());
        } else if (p.type == PART_IDENTIFICATION) {
            fprintf(out, "name %s", p.text.c_str());
        } else if (p.type == PART_DESCRIPTION) {
            fprintf(out, "description %s", p.text.c_str());
        } else if (p.type == PART_DEPENDENCIES) {
            fprintf(out, "depends %s", p.text.c_str());
        } else if (p.type == PART_TRAILER) {
            fprintf(out, "trailer");
        } else {
            fprintf(out, "(unknown part, passed over)");
        }
        fputc('\n', out);
        return true;
    };
    return walk_package(path, visit, error);
}

bool verify_package(const std::string& path, std::string* error) {
    return walk_package(
        path, [](const PartInfo&) { return true; }, error);
}
