// The partitioning tool's input, the table it is asked to write, applied
// to a disk image in memory. The first two bytes give the image's size in
// cylinders of 255 heads and 63 sectors (plus up to 63 sectors more, from
// the third byte); the rest is the input text. A refused input must leave
// the image byte for byte as it was; an accepted one must keep the boot
// program, mark the table valid and describe partitions that lie on the
// disk, past its first track, without overlapping.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "disk_device.h"
#include "fuzz_support.h"
#include "partition_table.h"
#include "table_writer.h"

namespace {

constexpr uint64_t CYLINDER_SECTORS = 255 * 63;
// The part of the image compared in full; the tool writes only sector 0,
// and a refused input must not have touched even that.
constexpr size_t COMPARED = 64 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    uint64_t cylinders = data[0] | data[1] << 8;
    uint64_t bytes = (cylinders * CYLINDER_SECTORS + data[2] % 64) * SECTOR_SIZE;
    const char* input = reinterpret_cast<const char*>(data + 3);
    size_t length = size - 3;

    // The image: a boot program of a recognisable pattern, an old table
    // and the signature, the rest sparse.
    int fd = memfd_create("fuzz-disk", MFD_CLOEXEC);
    check(fd >= 0);
    check(ftruncate(fd, off_t(bytes)) == 0);
    uint8_t before[COMPARED] = {};
    size_t compared = size_t(bytes < COMPARED ? bytes : COMPARED);
    for (size_t i = 0; i < compared && i < 512; ++i) before[i] = uint8_t(i * 37 + 11);
    check(pwrite(fd, before, compared, 0) == ssize_t(compared));

    DiskDevice disk;
    disk.fd = fd;
    disk.is_block_device = false;
    disk.geometry = make_geometry(bytes, 255, 63);
    uint8_t sector[512];
    char error[256];
    TableWrite result = write_partition_input(disk, input, length, sector, error, sizeof error);
    check(memchr(error, 0, sizeof error) != nullptr || result == TableWrite::WRITTEN);

    uint8_t after[COMPARED];
    check(pread(fd, after, compared, 0) == ssize_t(compared));
    struct stat info;
    check(fstat(fd, &info) == 0 && uint64_t(info.st_size) == bytes);
    if (result != TableWrite::WRITTEN) {
        check(memcmp(before, after, compared) == 0);
    } else {
        check(bytes >= SECTOR_SIZE);
        check(memcmp(before, after, 446) == 0);
        check(memcmp(before + 512, after + 512, compared - 512) == 0);
        check(after[510] == 0x55 && after[511] == 0xaa);
        check(memcmp(sector, after, 512) == 0);
        uint64_t first[PARTITION_ENTRIES], end[PARTITION_ENTRIES];
        bool used[PARTITION_ENTRIES];
        for (int i = 0; i < PARTITION_ENTRIES; ++i) {
            PartitionEntry e = decode_partition_entry(after + PARTITION_TABLE_OFFSET + 16 * i);
            used[i] = partition_entry_used(e);
            first[i] = e.start_sector;
            end[i] = uint64_t(e.start_sector) + e.sector_count;
            if (!used[i]) continue;
            check(e.type != 0 && e.sector_count > 0);
            check(e.boot_flag == 0 || e.boot_flag == 0x80);
            check(first[i] >= 63);
            check(end[i] <= disk.geometry.cylinders * CYLINDER_SECTORS);
        }
        for (int i = 0; i < PARTITION_ENTRIES; ++i)
            for (int j = i + 1; j < PARTITION_ENTRIES; ++j)
                if (used[i] && used[j]) check(end[i] <= first[j] || end[j] <= first[i]);
    }
    close(fd);
    return 0;
}
