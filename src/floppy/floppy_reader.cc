#include "floppy/floppy_reader.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "console/console_state.h"
#include "console/progress_bar.h"
#include "floppy/block_group.h"

namespace {

constexpr uint32_t MAX_GROUP_BYTES = 1048576;
constexpr size_t WRITE_PIECE = 4096;

// The checks on a freshly read header; false makes the floppy bad. The
// first floppy of a run meets a reference without the magic and is taken
// whatever its set id.
bool header_acceptable(const FloppyHeader& header, uint32_t old_magic, uint32_t old_set_id) {
    if (header.magic != FLOPPY_MAGIC) return false;
    if (old_magic == FLOPPY_MAGIC && old_set_id != header.set_id) return false;
    // 16 bits by 16 bits: the product fits in 32 bits.
    if (static_cast<uint32_t>(header.block_size) * header.group_blocks > MAX_GROUP_BYTES)
        return false;
    // A block must hold data beside its checksum and a group at least one
    // payload block; anything else is no floppy of ours.
    if (header.block_size <= 4) return false;
    if (header.group_blocks <= header.parity_blocks) return false;
    // The length is returned as an int.
    if (header.payload_length > static_cast<uint32_t>(INT_MAX)) return false;
    return true;
}

}  // namespace

FILE* open_floppy(InstallContext&, unsigned index) {
    char path[80];
    snprintf(path, sizeof path, "/floppy/brindlex.n%2.2u", index);
    for (;;) {
        printf("Please insert %s installation floppy.\n", floppy_ordinal(index + 2));
        puts("Press ENTER when ready");
        fflush(stdout);
        ConsoleState* console = console_state();
        if (console != nullptr) wait_for_key(*console, '\n');
        puts("");
        fflush(stdout);

        if (mount("/dev/fd0", "/floppy", "vfat", 0, nullptr) != 0) {
            puts("ERROR: No floppy, or bad floppy");
            puts("");
            continue;
        }
        FILE* part = fopen(path, "r");
        if (part != nullptr) return part;
        if (errno != ENOENT) return nullptr;  // the floppy stays mounted
        puts("Wrong floppy!");
        umount("/floppy");
        puts("");
    }
}

int copy_floppy_part(InstallContext& ctx, FILE* floppy, FILE* out) {
    ProgressBar bar;
    progress_init(bar, 70, 100);

    FloppyHeader& header = ctx.floppy_header;
    uint32_t old_magic = header.magic;
    uint32_t old_set_id = header.set_id;
    if (fread(&header, 1, sizeof header, floppy) != sizeof header) return 0;
    if (!header_acceptable(header, old_magic, old_set_id)) return 0;

    printf("Installing part %d of %d...\n", header.part_index + 1, header.part_count);
    fflush(stdout);
    progress_start(bar);
    uint32_t data_bytes = header.block_size - 4u;
    uint32_t payload_blocks = header.group_blocks - header.parity_blocks;
    uint32_t blocks = (header.payload_length + uint64_t{header.block_size} - 1) / header.block_size;
    uint32_t groups = (blocks + payload_blocks - 1) / payload_blocks;
    bar.total = groups + 2;

    uint32_t length = header.payload_length;
    // More payload than the floppy's whole file holds cannot be there: the
    // floppy is bad before any memory is sought for it.
    struct stat file;
    if (fstat(fileno(floppy), &file) == 0 && S_ISREG(file.st_mode) &&
        uint64_t{length} + sizeof header > static_cast<uint64_t>(file.st_size)) {
        progress_finish(bar);
        return 0;
    }
    // One byte more so that an empty payload still gets a buffer.
    uint8_t* payload = static_cast<uint8_t*>(malloc(size_t{length} + 1));
    BlockGroup group{};
    if (payload == nullptr || !make_block_group(group, header)) {
        free(payload);
        progress_finish(bar);
        return 0;
    }

    uint32_t copied = 0;
    while (copied < length) {
        if (!read_block_group(group, floppy) || !repair_group(group)) {
            free(payload);
            free_block_group(group);
            progress_finish(bar);
            return 0;
        }
        progress_update(bar, static_cast<uint32_t>(++bar.steps));
        for (uint32_t i = 0; i < payload_blocks && copied < length; ++i) {
            uint32_t n = length - copied < data_bytes ? length - copied : data_bytes;
            memcpy(payload + copied, group_block(group, i), n);
            copied += n;
        }
    }

    uint32_t left = length;
    const uint8_t* next = payload;
    while (left > 0) {
        size_t n = left < WRITE_PIECE ? left : WRITE_PIECE;
        if (fwrite(next, 1, n, out) != n) break;
        next += n;
        left -= static_cast<uint32_t>(n);
        if (left < length / 2) progress_update(bar, static_cast<uint32_t>(++bar.steps));
    }
    // What stdio still holds must reach the pipe too, or a reader that has
    // gone away would go unnoticed.
    if (left > 0 || fflush(out) != 0) {
        free(payload);
        free_block_group(group);
        progress_finish(bar);
        return -1;
    }

    free(payload);
    progress_update(bar, bar.total);
    free_block_group(group);
    progress_finish(bar);
    return static_cast<int>(length);
}
