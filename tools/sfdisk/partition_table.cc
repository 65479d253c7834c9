#include "partition_table.h"

#include <cstdio>
#include <cstring>

DiskGeometry make_geometry(uint64_t size_bytes, uint32_t heads, uint32_t sectors_per_track) {
    DiskGeometry geometry;
    geometry.heads = heads;
    geometry.sectors_per_track = sectors_per_track;
    geometry.total_sectors = size_bytes / SECTOR_SIZE;
    uint64_t cylinder_sectors = uint64_t(heads) * sectors_per_track;
    uint64_t cylinders = cylinder_sectors ? geometry.total_sectors / cylinder_sectors : 0;
    geometry.cylinders = cylinders > UINT32_MAX ? UINT32_MAX : uint32_t(cylinders);
    return geometry;
}

bool partition_entry_used(const PartitionEntry& entry) {
    return entry.type != 0 || entry.sector_count != 0;
}

void encode_chs(const DiskGeometry& geometry, uint32_t lba, uint8_t out[3]) {
    uint32_t heads = geometry.heads;
    uint32_t sectors = geometry.sectors_per_track;
    uint32_t cylinder = lba / (heads * sectors);
    uint32_t head = (lba / sectors) % heads;
    uint32_t sector = lba % sectors + 1;
    if (cylinder > 1023) {
        cylinder = 1023;
        head = heads - 1;
        sector = sectors;
    }
    out[0] = uint8_t(head);
    out[1] = uint8_t((sector & 0x3f) | ((cylinder >> 2) & 0xc0));
    out[2] = uint8_t(cylinder & 0xff);
}

static void put_le32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; i++) out[i] = uint8_t(value >> (8 * i));
}

static uint32_t get_le32(const uint8_t* in) {
    return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

void encode_partition_entry(const DiskGeometry& geometry, const PartitionEntry& entry,
                            uint8_t out[16]) {
    memset(out, 0, 16);
    if (!partition_entry_used(entry)) return;
    out[0] = entry.boot_flag;
    encode_chs(geometry, entry.start_sector, out + 1);
    out[4] = entry.type;
    encode_chs(geometry, entry.start_sector + entry.sector_count - 1, out + 5);
    put_le32(out + 8, entry.start_sector);
    put_le32(out + 12, entry.sector_count);
}

PartitionEntry decode_partition_entry(const uint8_t in[16]) {
    PartitionEntry entry;
    entry.boot_flag = in[0];
    entry.type = in[4];
    entry.start_sector = get_le32(in + 8);
    entry.sector_count = get_le32(in + 12);
    return entry;
}

// One comma-separated field of an input line, blanks around it removed.
struct Field {
    const char* begin;
    size_t length;
};

static bool parse_decimal(const Field& field, uint32_t& value) {
    if (field.length == 0 || field.length > 10) return false;
    uint64_t result = 0;
    for (size_t i = 0; i < field.length; i++) {
        char c = field.begin[i];
        if (c < '0' || c > '9') return false;
        result = result * 10 + uint64_t(c - '0');
    }
    if (result > UINT32_MAX) return false;
    value = uint32_t(result);
    return true;
}

static bool parse_hex_byte(const Field& field, uint8_t& value) {
    if (field.length == 0 || field.length > 2) return false;
    unsigned result = 0;
    for (size_t i = 0; i < field.length; i++) {
        char c = field.begin[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = unsigned(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = unsigned(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = unsigned(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * 16 + digit;
    }
    value = uint8_t(result);
    return true;
}

static bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Splits one line into at most five fields; returns the number found.
static int split_fields(const char* line, size_t length, Field fields[5]) {
    int count = 0;
    size_t at = 0;
    while (count < 5) {
        size_t end = at;
        while (end < length && line[end] != ',') end++;
        size_t first = at, last = end;
        while (first < last && is_blank(line[first])) first++;
        while (last > first && is_blank(line[last - 1])) last--;
        fields[count].begin = line + first;
        fields[count].length = last - first;
        count++;
        if (end >= length) return count;
        at = end + 1;
    }
    return count + 1;  // more than five fields
}

// Turns one line into an entry; false with the reason in error.
static bool parse_line(const char* line, size_t length, const DiskGeometry& geometry,
                       PartitionEntry& entry, char* error, size_t error_size) {
    Field fields[5];
    int count = split_fields(line, length, fields);
    if (count < 3 || count > 4) {
        snprintf(error, error_size, "expected start,size,type[,*] in cylinders");
        return false;
    }
    uint32_t start, size;
    uint8_t type;
    if (!parse_decimal(fields[0], start)) {
        snprintf(error, error_size, "bad start cylinder");
        return false;
    }
    if (!parse_decimal(fields[1], size)) {
        snprintf(error, error_size, "bad size in cylinders");
        return false;
    }
    if (!parse_hex_byte(fields[2], type)) {
        snprintf(error, error_size, "bad partition type (one or two hex digits)");
        return false;
    }
    bool bootable = false;
    if (count == 4) {
        if (fields[3].length != 1 || fields[3].begin[0] != '*') {
            snprintf(error, error_size, "the fourth field must be '*' (bootable)");
            return false;
        }
        bootable = true;
    }
    entry = PartitionEntry{0, 0, 0, 0};
    if (size == 0) {
        if (type != 0 || bootable) {
            snprintf(error, error_size, "a partition of size 0 must have type 0");
            return false;
        }
        return true;  // empty entry
    }
    if (type == 0) {
        snprintf(error, error_size, "a partition of type 0 must have size 0");
        return false;
    }
    uint64_t cylinder_sectors = uint64_t(geometry.heads) * geometry.sectors_per_track;
    uint64_t end_cylinder = uint64_t(start) + size;
    if (end_cylinder > geometry.cylinders) {
        snprintf(error, error_size, "cylinders %u to %llu lie beyond the disk's %u cylinders",
                 start, (unsigned long long)(end_cylinder - 1), geometry.cylinders);
        return false;
    }
    uint64_t first = uint64_t(start) * cylinder_sectors;
    if (start == 0) first = geometry.sectors_per_track;  // track 0 holds the MBR
    uint64_t end = end_cylinder * cylinder_sectors;
    if (end > uint64_t(UINT32_MAX) + 1) {
        snprintf(error, error_size, "partition ends beyond sector 2^32");
        return false;
    }
    if (end <= first) {
        snprintf(error, error_size, "partition holds no sectors");
        return false;
    }
    entry.boot_flag = bootable ? 0x80 : 0;
    entry.type = type;
    entry.start_sector = uint32_t(first);
    entry.sector_count = uint32_t(end - first);
    return true;
}

bool parse_partition_input(const char* text, size_t length, const DiskGeometry& geometry,
                           PartitionEntry entries[PARTITION_ENTRIES], char* error,
                           size_t error_size) {
    for (int i = 0; i < PARTITION_ENTRIES; i++) entries[i] = PartitionEntry{0, 0, 0, 0};
    int line_count = 0;
    size_t at = 0;
    while (at < length) {
        size_t end = at;
        while (end < length && text[end] != '\n') end++;
        if (memchr(text + at, '\0', end - at) != nullptr) {
            snprintf(error, error_size, "line %d: NUL byte in input", line_count + 1);
            return false;
        }
        if (line_count == PARTITION_ENTRIES) {
            snprintf(error, error_size, "more than %d partition lines", PARTITION_ENTRIES);
            return false;
        }
        char reason[160];
        if (!parse_line(text + at, end - at, geometry, entries[line_count], reason,
                        sizeof reason)) {
            snprintf(error, error_size, "line %d: %s", line_count + 1, reason);
            return false;
        }
        line_count++;
        at = end + 1;
    }
    for (int i = 0; i < PARTITION_ENTRIES; i++) {
        if (!partition_entry_used(entries[i])) continue;
        uint64_t a_first = entries[i].start_sector;
        uint64_t a_end = a_first + entries[i].sector_count;
        for (int j = i + 1; j < PARTITION_ENTRIES; j++) {
            if (!partition_entry_used(entries[j])) continue;
            uint64_t b_first = entries[j].start_sector;
            uint64_t b_end = b_first + entries[j].sector_count;
            if (a_first < b_end && b_first < a_end) {
                snprintf(error, error_size, "partitions %d and %d overlap", i + 1, j + 1);
                return false;
            }
        }
    }
    return true;
}
