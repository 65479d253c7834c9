// How much memory the installer may still take for itself: the hard-disk
// image installation holds every package in memory at once and must know
// before it destroys the volume whether they fit.
#pragma once

#include <cstdint>
#include <cstdio>

// Memory the installation needs beside the packages and the script once
// they are held: the programs it runs (sfdisk, mke2fs, the unpacker, the
// file-system check in the new root) and the cache they write through.
constexpr uint64_t INSTALL_MEMORY_RESERVE = 16ull << 20;

// The "MemAvailable:" figure of a /proc/meminfo text, in bytes; 0 when the
// text has none.
uint64_t parse_available_memory(FILE* meminfo);

// Bytes the kernel could hand out now without swapping: /proc/meminfo's
// estimate, or, without /proc, the free memory and buffers of sysinfo.
uint64_t available_memory();

// True when needed bytes fit beside the reserve in available bytes.
bool fits_in_memory(uint64_t needed, uint64_t available);
