// brindlex-make-cd: makes a bootable installation CD image.
#include <cstdio>
#include <string>
#include <vector>

#include "install_cd.h"
#include "standard_options.h"

namespace {

// What --help prints and usage errors show; the manual page is made from it.
const std::string HELP =
    std::string(
        "Usage: brindlex-make-cd [OPTION]... PACKAGES [BOOTSYS] OUTPUT.iso\n"
        "  or:  brindlex-make-cd --boot-only floppy|net [OPTION]... [BOOTSYS] OUTPUT.iso\n"
        "Makes the bootable installation CD image OUTPUT.iso: an ISO 9660 image that a\n"
        "PC's BIOS boots (El Torito, isolinux), with the boot system in /boot and the\n"
        "packages at the root. Every package is read as the installer reads it: one\n"
        "the installer would refuse ends the build, and a dependency no package\n"
        "provides is a warning. A failed build leaves no image. With --boot-only the\n"
        "CD is a small boot CD of another installation mode, with no packages.\n"
        "\n"
        "Arguments:\n"
        "  PACKAGES    directory of package files (*.vpk) and an optional defpacks\n"
        "              file: the names of the packages the menu shows selected\n"
        "  BOOTSYS     directory of the boot system (vmlinuz, initrd.gz); by default\n"
        "              ") +
    INSTALLED_BOOT_SYSTEM +
    ", the boot system installed with the tools\n"
    "  OUTPUT.iso  the image to write\n"
    "\n"
    "Options:\n" +
    std::string(BOOT_ONLY_HELP) + MEDIA_OPTIONS_HELP +
    "\n"
    "Exit status:\n"
    "  0   the image was written\n"
    "  1   the image could not be made; no image is left\n"
    "  2   bad arguments\n";

}  // namespace

int main(int argc, char** argv) {
    if (int status = answer_standard_option(argc, argv, "brindlex-make-cd", HELP.c_str());
        status >= 0)
        return status;
    InstallCdRequest request;
    std::vector<std::string> positional;
    if (int status = read_media_command_line(argc, argv, "brindlex-make-cd", HELP, request.media,
                                             positional);
        status >= 0)
        return status;
    if (!request.media.boot_only.empty()) {
        if (boot_only_mode_words(request.media.boot_only) == nullptr)
            return media_usage("brindlex-make-cd", HELP, "--boot-only takes floppy or net");
        if (!take_boot_paths(positional, request.bootsys, request.output))
            return media_usage("brindlex-make-cd", HELP,
                               "one or two arguments are needed with --boot-only");
    } else if (!take_media_paths(positional, request.packages, request.bootsys, request.output)) {
        return media_usage("brindlex-make-cd", HELP, "two or three arguments are needed");
    }
    std::string warnings;
    std::string error;
    bool made = make_install_cd(request, warnings, error);
    fputs(warnings.c_str(), stderr);
    if (!made) {
        fprintf(stderr, "brindlex-make-cd: %s\n", error.c_str());
        return 1;
    }
    printf("brindlex-make-cd: wrote %s\n", request.output.c_str());
    return 0;
}
