#include "startup/floppy_install.h"

#include <sys/mount.h>

#include <cstdio>

#include "console/child_process.h"
#include "console/dialogs.h"
#include "console/unpacker_run.h"
#include "disk/disk_preparation.h"
#include "floppy/floppy_reader.h"
#include "startup/modes.h"

namespace {

// Ends the installation: the unpacker gets the end of its input and has
// ended, so that it no longer holds the new system ("/mnt" can be
// unmounted before the restart), then the floppy mode's failure line.
bool installation_error(FILE* pipe) {
    if (pipe != nullptr) close_unpacker(pipe);
    puts("\nFATAL ERROR: Installation error");
    fflush(stdout);
    return false;
}

}  // namespace

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
        if (floppy == nullptr) return installation_error(pipe);
        int result = copy_floppy_part(ctx, floppy, pipe);
        fclose(floppy);
        // The floppy stays mounted; start-up unmounts it before the restart.
        if (result < 0) return installation_error(pipe);
        if (result == 0) {
            puts("");
            puts("ERROR: bad floppy, please replace it.");
        }
        umount("/floppy");
        if (result > 0) ++index;
    }
    // The whole set went in only when the unpacker took the last bytes and
    // ended with success: a disk that failed under it shows only there.
    if (!close_unpacker(pipe)) return installation_error(nullptr);
    return true;
}

bool install_from_floppies(InstallContext& ctx) {
    show_welcome("floppy installation");
    if (!detect_disk(ctx)) return false;
    bool keep = ask_keep_config();  // the question comes before the warning
    if (!confirm_erase()) return false;
    if (!prepare_disk(ctx, keep)) return false;
    if (!feed_floppy_set(ctx)) return false;
    if (!finish_installation(ctx)) return false;
    puts("");
    puts("Software installed.");
    puts("Remove boot floppy");
    fflush(stdout);
    return true;
}
