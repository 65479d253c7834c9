// brindlex-floppyset: makes the data floppies of a floppy-set installation
// from a payload file (the packages back to back, in installation order).
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "floppy_set_writer.h"
#include "standard_options.h"

namespace {

// What --help prints and usage errors show; the manual page is made from it.
const char* const HELP =
    "Usage: brindlex-floppyset [OPTION]... PAYLOAD OUTDIR\n"
    "Cuts PAYLOAD (the packages back to back, in installation order) into the data\n"
    "files of a floppy set, OUTDIR/brindlex.n00, brindlex.n01, ..., every block\n"
    "with its CRC-32 and every group of blocks with parity, and writes a 1.44 MB\n"
    "FAT floppy image OUTDIR/brindlex.nNN.img of each.\n"
    "\n"
    "Options:\n"
    "  -b, --block-size BYTES  bytes per block, checksum included (1024)\n"
    "  -g, --group-blocks N    blocks per group, parity included (32)\n"
    "  -p, --parity-blocks N   XOR parity blocks per group (1)\n"
    "  -s, --set-id N          identifier of the set (made from the payload)\n"
    "  -c, --capacity BYTES    room for a data file (1457664, a 1.44 MB FAT)\n"
    "  -n, --no-images         write the data files only\n"
    "  -d, --damage PART:GROUP:BLOCK\n"
    "                          spoil that block (for tests of the reader)\n"
    "  -h, --help              print this help and exit\n"
    "      --version           print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0   the set was written\n"
    "  1   the payload could not be read or the set not written\n"
    "  2   bad arguments or option values\n";

void usage(FILE* out) {
    fputs(HELP, out);
}

bool parse_number(const char* text, uint64_t max, uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > max) return false;
    value = v;
    return true;
}

bool parse_damage(const char* text, BlockDamage& d) {
    unsigned part, group, block;
    char tail;
    if (sscanf(text, "%u:%u:%u%c", &part, &group, &block, &tail) != 3) return false;
    d = BlockDamage{part, group, block};
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = answer_standard_option(argc, argv, "brindlex-floppyset", HELP); status >= 0)
        return status;
    FloppySetOptions options;
    static const option long_options[] = {
        {"block-size", required_argument, nullptr, 'b'},
        {"group-blocks", required_argument, nullptr, 'g'},
        {"parity-blocks", required_argument, nullptr, 'p'},
        {"set-id", required_argument, nullptr, 's'},
        {"capacity", required_argument, nullptr, 'c'},
        {"no-images", no_argument, nullptr, 'n'},
        {"damage", required_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "b:g:p:s:c:nd:h", long_options, nullptr)) != -1) {
        uint64_t v = 0;
        bool ok = true;
        switch (c) {
            case 'b':
                ok = parse_number(optarg, 65535, v);
                options.block_size = static_cast<uint32_t>(v);
                break;
            case 'g':
                ok = parse_number(optarg, 65535, v);
                options.group_blocks = static_cast<uint32_t>(v);
                break;
            case 'p':
                ok = parse_number(optarg, 65535, v);
                options.parity_blocks = static_cast<uint32_t>(v);
                break;
            case 's':
                ok = parse_number(optarg, 0xFFFFFFFFu, v) && v != 0;
                options.set_id = static_cast<uint32_t>(v);
                break;
            case 'c':
                ok = parse_number(optarg, uint64_t{1} << 40, v);
                options.capacity = v;
                break;
            case 'n':
                options.images = false;
                break;
            case 'd': {
                BlockDamage d;
                ok = parse_damage(optarg, d);
                if (ok) options.damage.push_back(d);
                break;
            }
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
        if (!ok) {
            fprintf(stderr, "brindlex-floppyset: bad value '%s' for -%c\n", optarg, c);
            return 2;
        }
    }
    if (argc - optind != 2) {
        usage(stderr);
        return 2;
    }
    std::string problem = check_floppy_set_options(options);
    if (!problem.empty()) {
        fprintf(stderr, "brindlex-floppyset: %s\n", problem.c_str());
        return 2;
    }
    std::ifstream in(argv[optind], std::ios::binary);
    if (!in) {
        fprintf(stderr, "brindlex-floppyset: cannot read %s\n", argv[optind]);
        return 1;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string error;
    unsigned parts = write_floppy_set(options, bytes.str(), argv[optind + 1], error);
    if (parts == 0) {
        fprintf(stderr, "brindlex-floppyset: %s\n", error.c_str());
        return 1;
    }
    printf("%u data floppies in %s\n", parts, argv[optind + 1]);
    return 0;
}
