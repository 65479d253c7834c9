// A floppy's part file, read and repaired as the floppy installation does
// it, into a sink in place of the unpacker's pipe. The first byte chooses
// the situation: bit 0, a floppy of set 0x12345678 was read before (else
// this is the first floppy of the run); bit 1, the sink fails after
// 1000 x (byte >> 2) bytes, as a pipe whose reader has gone. The rest is
// the file. Whatever the file, the reader must hand out exactly the
// payload length it returns, report a failing sink as -1 and nothing else
// as -1, and hand out the file's payload unchanged when no block is damaged.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "floppy/crc32.h"
#include "floppy/floppy_reader.h"
#include "fuzz_support.h"
#include "startup/install_context.h"
#include "startup/process_state.h"

namespace {

// What the sink took, and where it starts failing.
struct Sink {
    std::string taken;
    size_t limit;
};

ssize_t sink_write(void* cookie, const char* data, size_t size) {
    Sink* sink = static_cast<Sink*>(cookie);
    if (sink->taken.size() + size > sink->limit) return -1;
    sink->taken.append(data, size);
    return ssize_t(size);
}

// The payload of an undamaged file, block by block; false when a block
// consulted is damaged or missing (the reader's repair decides then).
bool undamaged_payload(const uint8_t* file, size_t size, const FloppyHeader& h, std::string* out) {
    if (h.block_size <= 4 || h.group_blocks <= h.parity_blocks) return false;
    size_t data_bytes = h.block_size - 4u;
    size_t at = sizeof(FloppyHeader);
    while (out->size() < h.payload_length) {
        for (unsigned b = 0; b < h.group_blocks; ++b, at += h.block_size) {
            if (at + h.block_size > size) return false;
            uint32_t stored;
            memcpy(&stored, file + at + data_bytes, 4);
            if (crc32_ieee(file + at, data_bytes) != stored) return false;
            if (b < unsigned(h.group_blocks - h.parity_blocks) && out->size() < h.payload_length)
                out->append(reinterpret_cast<const char*>(file + at),
                            std::min<size_t>(data_bytes, h.payload_length - out->size()));
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The progress bar and the part line go nowhere, and so do the repair
    // lines of the log terminal.
    check(freopen("/dev/null", "w", stdout) != nullptr);
    snprintf(log_terminal, sizeof log_terminal, "/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t situation = data[0];
    const uint8_t* file = data + 1;
    size_t file_size = size - 1;

    InstallContext ctx;
    init_install_context(ctx);
    if (situation & 1) {
        ctx.floppy_header.magic = FLOPPY_MAGIC;
        ctx.floppy_header.set_id = 0x12345678;
    }
    // A file of its own size, as on a mounted floppy.
    int fd = memfd_create("fuzz-floppy", MFD_CLOEXEC);
    check(fd >= 0);
    check(file_size == 0 || write(fd, file, file_size) == ssize_t(file_size));
    check(lseek(fd, 0, SEEK_SET) == 0);
    FILE* floppy = fdopen(fd, "rb");
    check(floppy != nullptr);
    Sink sink{std::string(), (situation & 2) ? 1000u * (situation >> 2) : SIZE_MAX};
    cookie_io_functions_t io = {nullptr, sink_write, nullptr, nullptr};
    FILE* out = fopencookie(&sink, "w", io);
    check(out != nullptr);

    int result = copy_floppy_part(ctx, floppy, out);
    fclose(floppy);
    fclose(out);

    const FloppyHeader& h = ctx.floppy_header;
    if (file_size >= sizeof(FloppyHeader)) check(memcmp(&h, file, sizeof h) == 0);
    if (result == -1) {
        check(situation & 2);
        check(sink.taken.size() <= sink.limit);
    } else if (result > 0) {
        check(h.magic == FLOPPY_MAGIC);
        check(uint32_t(result) == h.payload_length);
        check(sink.taken.size() == h.payload_length);
        std::string expected;
        if (undamaged_payload(file, file_size, h, &expected)) check(sink.taken == expected);
    } else {
        check(result == 0);
    }
    return 0;
}
