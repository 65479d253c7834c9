// Handing packages to the package unpacker, one unpacker run per package:
// from a file on the installation CD-ROM, or from memory in the hard-disk
// image installation. Each is sent in blocks of at most 4096 bytes, each
// block written into the pipe as one item.
#pragma once

#include <cstdint>
#include <cstdio>

#include "startup/file_buffer.h"

// The unpacker of the boot system; it installs below "/mnt".
constexpr const char* UNPACKER_PATH = "/sbin/installer";

// Largest block written into the unpacker's pipe at once.
constexpr int PACKAGE_BLOCK_SIZE = 4096;

// How copying a package into an unpacker's pipe ended.
enum class PackageCopy {
    COPIED,        // every byte went into the pipe
    SHORT_READ,    // the package ended (or failed) before size bytes
    WRITE_FAILED,  // the pipe refused a block (the unpacker has gone)
};

// Sends the next size bytes of package into pipe, block by block.
PackageCopy copy_package_blocks(FILE* package, uint64_t size, FILE* pipe);

// Sends what is left of buffer into pipe, block by block (take_bytes).
PackageCopy copy_buffer_blocks(FileBuffer& buffer, FILE* pipe);

// One package file of the CD-ROM: starts unpacker with "-r", "/mnt", "-",
// sends it the whole file and waits for it to end. True only when the
// unpacker took every byte and ended with status 0 (close_unpacker): a
// package it could not install stops the installation, as later packages
// may depend on it. On failure it prints the CD-ROM installation's message
// (an empty line when the package did not go in) once the unpacker has
// ended, and returns false.
bool send_package_file(const char* unpacker, const char* path);

// One package held in memory: as send_package_file, with the hard-disk
// image installation's messages. The buffer is released in every case.
bool send_package_buffer(const char* unpacker, FileBuffer& buffer);
