// brindlex-make-disk-image: makes a self-installing FAT disk image.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "disk_image.h"
#include "standard_options.h"

namespace {

// What --help prints and usage errors show; the manual page is made from it.
const std::string HELP =
    std::string(
        "Usage: brindlex-make-disk-image --size MIB --script FILE --mbr FILE [OPTION]... PACKAGES "
        "[BOOTSYS] OUTPUT.img\n"
        "  or:  brindlex-make-disk-image --size MIB --script FILE --choose [OPTION]... PACKAGES "
        "[BOOTSYS] OUTPUT.img\n"
        "  or:  brindlex-make-disk-image --size MIB --boot-only floppy|net [OPTION]... [BOOTSYS] "
        "OUTPUT.img\n"
        "Makes the self-installing disk image OUTPUT.img: one FAT volume over the whole\n"
        "device that a PC's BIOS boots (syslinux), with the packages, the script and\n"
        "the boot system. Written onto a router's first IDE disk or flash card, it\n"
        "installs the router onto that same disk: the installation repartitions and\n"
        "formats it, and the volume is gone. Packages are checked as for the CD; a\n"
        "failed build leaves no image. The builder prints the memory the installing PC\n"
        "needs: everything on the volume is held in memory at once.\n"
        "\n"
        "Arguments:\n"
        "  PACKAGES    directory of package files (*.vpk, at most 50) and an optional\n"
        "              defpacks file\n"
        "  BOOTSYS     directory of the boot system (vmlinuz, initrd.gz); by default\n"
        "              ") +
    INSTALLED_BOOT_SYSTEM +
    ", the boot system installed with the tools\n"
    "  OUTPUT.img  the image to write\n"
    "\n"
    "Options:\n"
    "  --size MIB      size of the image; the router's disk may be larger\n"
    "  --script FILE   the router's configuration script, installed as /autorun.scr\n"
    "  --mbr FILE      unattended: every package is installed without a question,\n"
    "                  and the first 512 bytes of FILE are written over the disk's\n"
    "                  first sector before it is repartitioned\n"
    "  --choose        the operator chooses the packages in the menu\n" +
    std::string(BOOT_ONLY_HELP) + MEDIA_OPTIONS_HELP +
    "--size, --script and one of --mbr and --choose are needed; with --boot-only,\n"
    "--size alone (the image then boots that mode from a USB stick or a disk).\n"
    "\n"
    "Exit status:\n"
    "  0   the image was written\n"
    "  1   the image could not be made; no image is left\n"
    "  2   bad arguments\n";

int usage(const std::string& problem) {
    return media_usage("brindlex-make-disk-image", HELP, problem);
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = answer_standard_option(argc, argv, "brindlex-make-disk-image", HELP.c_str());
        status >= 0)
        return status;
    DiskImageRequest request;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        int taken = parse_media_option(argc, argv, i, request.media);
        if (taken < 0) return usage(std::string(argv[i]) + " needs a value");
        if (taken > 0) {
            i += taken - 1;
            continue;
        }
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            fputs(HELP.c_str(), stdout);
            return 0;
        }
        if (word == "--choose") {
            request.choose = true;
            continue;
        }
        if (word == "--size" || word == "--script" || word == "--mbr") {
            if (i + 1 >= argc) return usage(word + " needs a value");
            std::string value = argv[++i];
            if (word == "--script") request.script = value;
            if (word == "--mbr") request.mbr = value;
            if (word == "--size") {
                char* end = nullptr;
                request.size_mib = strtoull(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || request.size_mib == 0 ||
                    request.size_mib > (1ull << 20)) {
                    return usage("--size takes a number of MiB, not " + value);
                }
            }
            continue;
        }
        if (word.size() > 1 && word[0] == '-') return usage("unknown option " + word);
        positional.push_back(word);
    }
    bool boot_only = !request.media.boot_only.empty();
    if (boot_only) {
        if (boot_only_mode_words(request.media.boot_only) == nullptr)
            return usage("--boot-only takes floppy or net");
        if (!take_boot_paths(positional, request.bootsys, request.output))
            return usage("one or two arguments are needed with --boot-only");
        if (!request.script.empty() || !request.mbr.empty() || request.choose)
            return usage("--boot-only takes no --script, --mbr or --choose");
    } else if (!take_media_paths(positional, request.packages, request.bootsys, request.output)) {
        return usage("two or three arguments are needed");
    }
    if (request.size_mib == 0) return usage("--size is needed");
    if (!boot_only && request.script.empty()) return usage("--script is needed");
    if (!boot_only && request.choose == !request.mbr.empty())
        return usage("either --mbr or --choose is needed");
    std::string warnings;
    std::string error;
    uint64_t memory_mib = 0;
    bool made = make_disk_image(request, warnings, memory_mib, error);
    fputs(warnings.c_str(), stderr);
    if (!made) {
        fprintf(stderr, "brindlex-make-disk-image: %s\n", error.c_str());
        return 1;
    }
    if (boot_only) {
        printf("brindlex-make-disk-image: wrote %s\n", request.output.c_str());
        return 0;
    }
    printf(
        "brindlex-make-disk-image: wrote %s; the installing PC needs at least %llu MiB of "
        "memory\n",
        request.output.c_str(), static_cast<unsigned long long>(memory_mib));
    return 0;
}
