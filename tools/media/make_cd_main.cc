// brindlex-make-cd: makes a bootable installation CD image.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "install_cd.h"

namespace {

const char* const USAGE =
    "usage: brindlex-make-cd [--serial] [--append WORDS] PACKAGES BOOTSYS OUTPUT.iso\n"
    "  PACKAGES  directory of package files (*.vpk) and an optional defpacks file\n"
    "  BOOTSYS   directory holding the boot system (vmlinuz, initrd.gz)\n"
    "  --serial  boot the serial-console entry (ttyS0, 115200 baud) when nobody\n"
    "            types at the boot prompt; otherwise the screen entry boots\n"
    "  --append WORDS  more kernel command line words for both entries\n";

int usage(const char* problem) {
    if (problem != nullptr) fprintf(stderr, "brindlex-make-cd: %s\n", problem);
    fputs(USAGE, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
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
            fputs(USAGE, stdout);
            return 0;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            return usage((std::string("unknown option ") + argv[i]).c_str());
        }
        positional.push_back(argv[i]);
    }
    if (positional.size() != 3) return usage("three arguments are needed");
    request.packages = positional[0];
    request.bootsys = positional[1];
    request.output = positional[2];
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
