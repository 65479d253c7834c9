// brindlex-make-disk-image: makes a self-installing FAT disk image.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "disk_image.h"

namespace {

const char* const USAGE =
    "usage: brindlex-make-disk-image --size MIB --script FILE (--mbr FILE | --choose)\n"
    "           [--serial] [--append WORDS] PACKAGES BOOTSYS OUTPUT.img\n"
    "  --size MIB     size of the image: the router's disk or flash card may be larger\n"
    "  --script FILE  the router's configuration script, installed as /autorun.scr\n"
    "  --mbr FILE     unattended: every package is installed without a question, and\n"
    "                 the first 512 bytes of FILE are written over the disk's first\n"
    "                 sector before it is repartitioned\n"
    "  --choose       the operator chooses the packages in the menu\n"
    "  PACKAGES       directory of package files (*.vpk, at most 50) and an optional\n"
    "                 defpacks file\n"
    "  BOOTSYS        directory holding the boot system (vmlinuz, initrd.gz)\n"
    "  --serial       boot the serial-console entry (ttyS0, 115200 baud) when nobody\n"
    "                 types at the boot prompt; otherwise the screen entry boots\n"
    "  --append WORDS more kernel command line words for both entries\n"
    "The installation destroys the image's volume: it repartitions and formats\n"
    "the disk it booted from.\n";

int usage(const std::string& problem) {
    fprintf(stderr, "brindlex-make-disk-image: %s\n", problem.c_str());
    fputs(USAGE, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
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
            fputs(USAGE, stdout);
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
    if (positional.size() != 3) return usage("three arguments are needed");
    if (request.size_mib == 0) return usage("--size is needed");
    if (request.script.empty()) return usage("--script is needed");
    if (request.choose == !request.mbr.empty()) return usage("either --mbr or --choose is needed");
    request.packages = positional[0];
    request.bootsys = positional[1];
    request.output = positional[2];
    std::string warnings;
    std::string error;
    uint64_t memory_mib = 0;
    bool made = make_disk_image(request, warnings, memory_mib, error);
    fputs(warnings.c_str(), stderr);
    if (!made) {
        fprintf(stderr, "brindlex-make-disk-image: %s\n", error.c_str());
        return 1;
    }
    printf(
        "brindlex-make-disk-image: wrote %s; the installing PC needs at least %llu MiB of "
        "memory\n",
        request.output.c_str(), static_cast<unsigned long long>(memory_mib));
    return 0;
}
