#include "startup/package_sending.h"

#include <sys/stat.h>

#include "console/child_process.h"
#include "console/unpacker_run.h"

namespace {

// Writes one block into the pipe as one item.
bool write_block(FILE* pipe, const unsigned char* block, size_t size) {
    return fwrite(block, size, 1, pipe) == 1;
}

void say(const char* line) {
    puts(line);
    fflush(stdout);
}

}  // namespace

PackageCopy copy_package_blocks(FILE* package, uint64_t size, FILE* pipe) {
    unsigned char block[PACKAGE_BLOCK_SIZE];
    uint64_t remaining = size;
    while (remaining != 0) {
        size_t n = remaining < PACKAGE_BLOCK_SIZE ? size_t(remaining) : PACKAGE_BLOCK_SIZE;
        if (fread(block, n, 1, package) != 1) return PackageCopy::SHORT_READ;
        if (!write_block(pipe, block, n)) return PackageCopy::WRITE_FAILED;
        remaining -= n;
    }
    return PackageCopy::COPIED;
}

PackageCopy copy_buffer_blocks(FileBuffer& buffer, FILE* pipe) {
    unsigned char block[PACKAGE_BLOCK_SIZE];
    for (;;) {
        size_t n = take_bytes(buffer, block, sizeof block);
        if (n == 0) return PackageCopy::COPIED;
        if (!write_block(pipe, block, n)) return PackageCopy::WRITE_FAILED;
    }
}

bool send_package_file(const char* unpacker, const char* path) {
    FILE* pipe = open_write_pipe(unpacker, "-r", "/mnt", "-", nullptr);
    if (pipe == nullptr) {
        say("\nFATAL ERROR: couldn't start install");
        return false;
    }
    // On every failure the unpacker gets the end of its input and has ended
    // before the message, so that none is left running behind it.
    struct stat status;
    if (stat(path, &status) != 0) {
        close_unpacker(pipe);
        say("\nFATAL ERROR: corrupted installation CD-ROM");
        return false;
    }
    FILE* package = fopen(path, "r");
    if (package == nullptr) {
        close_unpacker(pipe);
        say("\nFATAL ERROR: corrupted CD-ROM");
        return false;
    }
    PackageCopy result = copy_package_blocks(package, uint64_t(status.st_size), pipe);
    fclose(package);
    if (result == PackageCopy::SHORT_READ) {
        close_unpacker(pipe);
        say("\nFATAL ERROR: corrupted CD-ROM");
        return false;
    }
    // The last bytes of the package leave the stream only at the close: a
    // close that fails is a write that failed, and so is an unpacker that
    // could not install what it read (its exit status).
    bool installed = close_unpacker(pipe) && result == PackageCopy::COPIED;
    if (!installed) say("");
    return installed;
}

bool send_package_buffer(const char* unpacker, FileBuffer& buffer) {
    FILE* pipe = open_write_pipe(unpacker, "-r", "/mnt", "-", nullptr);
    if (pipe == nullptr) {
        release_buffer(buffer);
        say("\nFATAL ERROR: Couldn't start install");
        return false;
    }
    PackageCopy result = copy_buffer_blocks(buffer, pipe);
    bool installed = close_unpacker(pipe) && result == PackageCopy::COPIED;
    if (!installed) say("");
    release_buffer(buffer);
    return installed;
}
