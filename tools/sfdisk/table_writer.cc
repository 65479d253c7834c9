#include "table_writer.h"

TableWrite write_partition_input(DiskDevice& disk, const char* input, size_t length,
                                 uint8_t sector[512], char* error, size_t error_size) {
    if (!read_boot_record(disk, sector, error, error_size)) return TableWrite::FAILED;
    PartitionEntry entries[PARTITION_ENTRIES];
    if (!parse_partition_input(input, length, disk.geometry, entries, error, error_size))
        return TableWrite::REFUSED;
    for (int i = 0; i < PARTITION_ENTRIES; i++) {
        encode_partition_entry(disk.geometry, entries[i],
                               sector + PARTITION_TABLE_OFFSET + i * PARTITION_ENTRY_SIZE);
    }
    sector[510] = 0x55;
    sector[511] = 0xaa;
    if (!write_boot_record(disk, sector, error, error_size)) return TableWrite::FAILED;
    if (!reread_partition_table(disk, error, error_size)) return TableWrite::FAILED;
    return TableWrite::WRITTEN;
}
