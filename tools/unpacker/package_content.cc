#include "package_content.h"

#include <cstring>
#include <ctime>
#include <limits>

namespace {

// Eight tables for the slicing CRC: table[0] is the classic byte table,
// table[k][b] the CRC of byte b followed by k zero bytes.
struct CrcTables {
    uint32_t t[8][256];
    CrcTables() {
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t c = b;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][b] = c;
        }
        for (uint32_t b = 0; b < 256; ++b)
            for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    }
};

const CrcTables& crc_tables() {
    static const CrcTables tables;
    return tables;
}

}  // namespace

uint32_t crc32_update(uint32_t crc, const void* data, size_t length) {
    const CrcTables& tb = crc_tables();
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t c = ~crc;
    while (length >= 8) {
        uint32_t lo = c ^ load_le32(p);
        uint32_t hi = load_le32(p + 4);
        c = tb.t[7][lo & 0xFF] ^ tb.t[6][(lo >> 8) & 0xFF] ^ tb.t[5][(lo >> 16) & 0xFF] ^
            tb.t[4][lo >> 24] ^ tb.t[3][hi & 0xFF] ^ tb.t[2][(hi >> 8) & 0xFF] ^
            tb.t[1][(hi >> 16) & 0xFF] ^ tb.t[0][hi >> 24];
        p += 8;
        length -= 8;
    }
    while (length-- > 0) c = tb.t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

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
