// brindlex-make-cd: makes a bootable installation CD image.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "install_cd.h"
#include "standard_options.h"

namespace {

// What --help prints and usage errors show; the manual page is made from it.
const std::string HELP =
    std::string(
        "Usage: brindlex-make-cd [OPTION]... PACKAGES [BOOTSYS] OUTPUT.iso\n"
        "Makes the bootable installation CD image OUTPUT.iso: an ISO 9660 image that a\n"
        "PC's BIOS boots (El Torito, isolinux), with the boot system in /boot and the\n"
        "packages at the root. Every package is read as the installer reads it: one\n"
        "the installer would refuse ends the build, and a dependency no package\n"
        "provides is a warning. A failed build leaves no image.\n"
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
    "Options:\n"
    "  --serial        boot the serial-console entry (ttyS0, 115200 baud) when\n"
    "                  nobody types at the boot prompt; otherwise the screen entry\n"
    "  --append WORDS  more kernel command line words for both entries\n"
    "  -h, --help      print this help and exit\n"
    "  --version       print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0   the image was written\n"
    "  1   the image could not be made; no image is left\n"
    "  2   bad arguments\n";

int usage(const char* problem) {
    if (problem != nullptr) fprintf(stderr, "brindlex-make-cd: %s\n", problem);
    fputs(HELP.c_str(), stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = answer_standard_option(argc, argv, "brindlex-make-cd", HELP.c_str());
        status >= 0)
        return status;
    InstallCdRequest request;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        int taken = parse_media_option(argc, argv, i, request.media);
        if (taken < 0) return usage((std::string(argv[i]) + " needs a value").c_str());
        if (taken > 0) {
            i += taken - 1;
            continue;
        }
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(HELP.c_str(), stdout);
            return 0;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return usage((std::string("unknown option ") + argv[i]).c_str());
        }
        positional.push_back(argv[i]);
    }
    if (!take_media_paths(positional, request.packages, request.bootsys, request.output))
        return usage("two or three arguments are needed");
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
