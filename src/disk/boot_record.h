#pragma once
#include "disk/disk_info.h"

// Size of a disk sector and of the master boot record.
constexpr int SECTOR_SIZE = 512;

// Puts the boot program into a copy of sector 0: bytes 0-183 the program,
// 184-445 zero, the partition entries and the signature kept.
void install_boot_program(unsigned char* sector);

// Reads sector 0 of the disk, installs the boot program in it and writes it
// back. Failures are reported through perror.
bool write_boot_record(const DiskInfo& disk);
