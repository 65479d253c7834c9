#include "package_content.h"

#include <cstring>
#include <ctime>
#include <limits>

void decode_entry_header(const unsigned char* b, EntryHeader* h) {
    h->path_length = load_le16(b);
    h->mode = load_le32(b + 2);
    h->uid = load_le32(b + 6);
    h->gid = load_le32(b + 10);
    h->mtime = load_le64(b + 14);
    h->mtime_nsec = load_le32(b + 22);
}

void encode_entry_header(const EntryHeader& h, unsigned char* b) {
    store_le16(b, h.path_length);
    store_le32(b + 2, h.mode);
    store_le32(b + 6, h.uid);
    store_le32(b + 10, h.gid);
    store_le64(b + 14, h.mtime);
    store_le32(b + 22, h.mtime_nsec);
}

const char* path_rule_broken(const std::string& path) {
    if (path.empty()) return "empty path";
    if (path.size() > MAX_ENTRY_PATH) return "path too long";
    if (path.find('\0') != std::string::npos) return "NUL byte in path";
    if (path[0] == '/') return "absolute path";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        size_t n = end - start;
        if (n == 0) return "empty path component";
        if (n == 1 && path[start] == '.') return "\".\" in path";
        if (n == 2 && path[start] == '.' && path[start + 1] == '.') return "\"..\" in path";
        if (n > 255) return "path component too long";
        start = end + 1;
    }
    return nullptr;
}

const char* entry_fields_broken(const EntryHeader& h) {
    if ((h.mode & ~07777u) != 0) return "mode has bits beyond 07777";
    if (h.uid == 0xFFFFFFFFu) return "owner 4294967295 cannot be set";
    if (h.gid == 0xFFFFFFFFu) return "group 4294967295 cannot be set";
    if (h.mtime_nsec >= 1000000000u) return "nanoseconds of the time out of range";
    if (h.mtime > uint64_t(std::numeric_limits<time_t>::max()))
        return "time beyond what this system can hold";
    return nullptr;
}

std::string name_from_field(const unsigned char* field) {
    size_t n = 0;
    while (n < NAME_SIZE && field[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}
