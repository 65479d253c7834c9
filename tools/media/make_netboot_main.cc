// brindlex-make-netboot: makes the network boot image, a TFTP tree.
#include <cstdio>
#include <string>
#include <vector>

#include "netboot_tree.h"
#include "standard_options.h"

namespace {

// What --help prints and usage errors show; the manual page is made from it.
const std::string HELP =
    std::string(
        "Usage: brindlex-make-netboot [OPTION]... [BOOTSYS] OUTDIR\n"
        "Makes the network boot image OUTDIR: a folder for a TFTP server from which a\n"
        "PC's network card boots (PXE) into the boot system and the installer's network\n"
        "installation, which announces the router to an installation server. It holds\n"
        "pxelinux.0 and ldlinux.c32 (Debian's pxelinux), the boot system in boot/ and\n"
        "the boot menu pxelinux.cfg/default; brindlex-install-server serves it. OUTDIR\n"
        "must not exist yet, or be an empty folder; a failed build leaves nothing.\n"
        "\n"
        "Arguments:\n"
        "  BOOTSYS     directory of the boot system (vmlinuz, initrd.gz); by default\n"
        "              ") +
    INSTALLED_BOOT_SYSTEM +
    ", the boot system installed with the tools\n"
    "  OUTDIR      the folder to write\n"
    "\n"
    "Options:\n" +
    MEDIA_OPTIONS_HELP +
    "\n"
    "Exit status:\n"
    "  0   the folder was written\n"
    "  1   the folder could not be made; nothing is left\n"
    "  2   bad arguments\n";

}  // namespace

int main(int argc, char** argv) {
    if (int status = answer_standard_option(argc, argv, "brindlex-make-netboot", HELP.c_str());
        status >= 0)
        return status;
    NetbootRequest request;
    std::vector<std::string> positional;
    if (int status = read_media_command_line(argc, argv, "brindlex-make-netboot", HELP,
                                             request.media, positional);
        status >= 0)
        return status;
    if (!request.media.boot_only.empty())
        return media_usage("brindlex-make-netboot", HELP, "unknown option --boot-only");
    if (!take_boot_paths(positional, request.bootsys, request.output))
        return media_usage("brindlex-make-netboot", HELP, "one or two arguments are needed");
    // A trailing slash would hide the folder's name from the temporary one.
    while (request.output.size() > 1 && request.output.back() == '/') request.output.pop_back();
    std::string error;
    if (!make_netboot_tree(request, error)) {
        fprintf(stderr, "brindlex-make-netboot: %s\n", error.c_str());
        return 1;
    }
    printf("brindlex-make-netboot: wrote %s\n", request.output.c_str());
    return 0;
}
