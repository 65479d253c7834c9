// The content of a package file as the builder writes it and the unpacker
// installs it: part types, the layout of a content entry, the trailer, the
// check value (CRC-32) and the rules a path inside a package must follow.
// docs/package-format.md describes the same layout byte by byte.
#ifndef BRINDLEX_TOOLS_PACKAGE_CONTENT_H_
#define BRINDLEX_TOOLS_PACKAGE_CONTENT_H_

#include <cstddef>
#include <cstdint>
#include <string>

// Package file header: magic (u32) and length of everything after it (u32).
constexpr uint32_t CONTENT_PACKAGE_MAGIC = 0xBAD0F11E;
constexpr uint32_t CONTENT_PACKAGE_MAGIC_ALT = 0xA1100FFB;
constexpr size_t FILE_HEADER_SIZE = 8;
constexpr size_t PART_HEADER_SIZE = 6;

// Part types.
constexpr int PART_IDENTIFICATION = 1;  // 32 bytes: name[16], format version u16, 14 zero
constexpr int PART_DESCRIPTION = 2;     // description text, no terminator
constexpr int PART_DEPENDENCIES = 3;    // count u16, count x 32-byte records
constexpr int PART_DIRECTORY = 16;      // content entry: a directory
constexpr int PART_FILE = 17;           // content entry: a regular file and its data
constexpr int PART_SYMLINK = 18;        // content entry: a symbolic link and its target
constexpr int PART_TRAILER = 32;        // last part: entry count and header check value

// Sizes of the fixed records.
constexpr size_t IDENTIFICATION_SIZE = 32;
constexpr size_t NAME_SIZE = 16;
constexpr size_t DEPENDENCY_RECORD_SIZE = 32;
constexpr size_t ENTRY_HEADER_SIZE = 26;  // before the path
constexpr size_t ENTRY_CHECK_SIZE = 4;    // CRC-32 at the end of every content part
constexpr size_t TRAILER_SIZE = 8;

// The content format version written at bytes 16-17 of the identification
// record; the unpacker refuses packages of a later version.
constexpr uint16_t CONTENT_FORMAT_VERSION = 1;

// Longest path of an entry and longest symbolic-link target.
constexpr size_t MAX_ENTRY_PATH = 4095;
constexpr size_t MAX_LINK_TARGET = 4095;

// The fixed head of a content entry (types 16, 17, 18), as stored.
struct EntryHeader {
    uint16_t path_length;  // bytes of the path that follows the header
    uint32_t mode;         // permission bits, 07777 (file type comes from the part type)
    uint32_t uid;          // owner
    uint32_t gid;          // group
    uint64_t mtime;        // modification time, seconds since 1970
    uint32_t mtime_nsec;   // and nanoseconds, below 1000000000
};

// Little-endian loads and stores.
inline uint16_t load_le16(const unsigned char* p) {
    return uint16_t(p[0] | p[1] << 8);
}
inline uint32_t load_le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t load_le64(const unsigned char* p) {
    return uint64_t(load_le32(p)) | uint64_t(load_le32(p + 4)) << 32;
}
inline void store_le16(unsigned char* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void store_le32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void store_le64(unsigned char* p, uint64_t v) {
    store_le32(p, uint32_t(v));
    store_le32(p + 4, uint32_t(v >> 32));
}

// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value and
// final xor 0xFFFFFFFF). crc32_update continues a running value: start with
// 0, feed the pieces in order (crc32.cc).
uint32_t crc32_update(uint32_t crc, const void* data, size_t length);

void decode_entry_header(const unsigned char* bytes, EntryHeader* header);
void encode_entry_header(const EntryHeader& header, unsigned char* bytes);

// Checks a path taken from a package: relative, components separated by
// single slashes, no empty, "." or ".." component, no NUL byte, at most
// MAX_ENTRY_PATH bytes. Returns nullptr when it is sound, else the reason.
const char* path_rule_broken(const std::string& path);

// Checks the fields of an entry that the system cannot take as they stand:
// mode bits beyond 07777, an owner or group of 0xFFFFFFFF (which would mean
// "leave unchanged"), nanoseconds of 10^9 or more, a time that does not fit
// the system's time. Returns nullptr when they are sound, else the reason.
const char* entry_fields_broken(const EntryHeader& header);

// The package name held in a 16-byte field: up to the first NUL.
std::string name_from_field(const unsigned char* field);

#endif  // BRINDLEX_TOOLS_PACKAGE_CONTENT_H_
