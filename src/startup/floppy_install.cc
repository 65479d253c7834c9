#include "startup/floppy_install.h"

#include <sys/mount.h>

#include <cstdio>

#include "console/child_process.h"
#include "console/dialogs.h"
#include "disk/disk_preparation.h"
#include "floppy/floppy_reader.h"
#include "startup/modes.h"

// The floppy loop: one unpacker for the whole set, fed the payload of every
// data floppy in turn. A bad floppy is asked for again; the part count is
// re-read from the header of the floppy read last before every floppy.
bool feed_floppy_set(InstallContext& ctx) {
    FILE* pipe = open_write_pipe("/sbin/installer", "-q", "-r", "/mnt", "-", nullptr);
    if (pipe == nullptr) {
        puts("\nFATAL ERROR: couldn't start install");
        fflush(stdout);
        return false;
    }
    unsigned index = 0;
    while (index < static_cast<unsigned>(ctx.floppy_header.part_count)) {
        puts("");
        FILE* floppy = open_floppy(ctx, index);
        if (floppy == nullptr) {
            puts("\nFATAL ERROR: Installation error");
            fflush(stdout);
            return false;
        }
        int result = copy_floppy_part(ctx, floppy, pipe);
        fclose(floppy);
        if (result < 0) {
            // The floppy stays mounted; start-up unmounts it before the restart.
            puts("\nFATAL ERROR: Installation error");
            fflush(stdout);
            return false;
        }
        if (result == 0) {
            puts("");
            puts("ERROR: bad floppy, please replace it.");
        }
        umount("/floppy");
        if (result > 0) ++index;
    }
    close_pipe(pipe);
    return true;
}

bool install_from_floppies(InstallContext& ctx) {
    show_welcome("floppy installation");
    if (!detect_disk(ctx)) return false;
    bool keep = ask_keep_config();  // the question comes before the warning
    if (!confirm_erase()) return false;
    if (!prepare_disk(ctx, keep)) return false;
    if (!feed_floppy_set(ctx)) return false;
    finish_installation(ctx);
    puts("");
    puts("Software installed.");
    puts("Remove boot floppy");
    fflush(stdout);
    return true;
}
