// Makes a tree of about 200 MB (3000 small files in 30 directories and
// four large files), packs it as a package and as a tar file, then times
//   cat large.vpk | brindlex-unpack -q -r A -
//   cat large.tar | tar -x -C B
// taking turns, after a sync each, several rounds, and reports tar_time /
// unpack_time on the medians and on the best times.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "package_builder.h"

namespace {

double seconds_of(const std::string& command) {
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    int status = system(command.c_str());
    clock_gettime(CLOCK_MONOTONIC, &b);
    if (status != 0) {
        fprintf(stderr, "bench_unpack_vs_tar: \"%s\" failed\n", command.c_str());
        exit(1);
    }
    return double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    std::string base = argc > 1 ? argv[1] : "/tmp";
    std::string dir = base + "/bench-unpack." + std::to_string(getpid());
    std::string tree = dir + "/tree";
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 131 + (i >> 9));
    size_t total = 0;
    for (int d = 0; d < 30; ++d) {
        std::string sub = tree + "/usr/share/d" + std::to_string(d);
        std::filesystem::create_directories(sub);
        for (int f = 0; f < 100; ++f) {
            size_t size = size_t(200 + (d * 100 + f) * 37 % 12000);
            FILE* out = fopen((sub + "/f" + std::to_string(f)).c_str(), "wb");
            fwrite(block.data() + f, 1, size, out);
            fclose(out);
            total += size;
        }
    }
    std::filesystem::create_directories(tree + "/usr/lib");
    for (int f = 0; f < 4; ++f) {
        FILE* out = fopen((tree + "/usr/lib/big" + std::to_string(f)).c_str(), "wb");
        for (int mb = 0; mb < 46; ++mb) fwrite(block.data(), 1, block.size(), out);
        fclose(out);
        total += 46u << 20;
    }
    PackageSource source;
    source.name = "large";
    source.tree = tree;
    std::string error;
    if (!build_package(source, dir + "/large.vpk", &error)) {
        fprintf(stderr, "bench_unpack_vs_tar: %s\n", error.c_str());
        return 1;
    }
    seconds_of("tar -cf " + dir + "/large.tar -C " + tree + " .");

    // Nothing is removed until every round is done: on a file system
    // without a journal, new files are kept off the inodes freed in the
    // last minute, and skipping them is slower the more there are, so a
    // run after a removal would pay for it.
    const int rounds = 5;
    std::vector<double> ours, tars;
    for (int r = 0; r < rounds; ++r) {
        std::string a = dir + "/a" + std::to_string(r), b = dir + "/b" + std::to_string(r);
        std::filesystem::create_directories(a);
        std::filesystem::create_directories(b);
        // Each run starts with the page cache written back, and the two
        // take turns going first, so neither pays for the other's writes.
        std::string our_run =
            "cat " + dir + "/large.vpk | " + BRINDLEX_UNPACK + " -q -r " + a + " -";
        std::string tar_run = "cat " + dir + "/large.tar | tar -x -C " + b;
        for (int turn = 0; turn < 2; ++turn) {
            sync();
            if ((turn == 0) == (r % 2 == 0))
                ours.push_back(seconds_of(our_run));
            else
                tars.push_back(seconds_of(tar_run));
        }
    }
    std::filesystem::remove_all(dir);
    std::sort(ours.begin(), ours.end());
    std::sort(tars.begin(), tars.end());
    double our_median = ours[rounds / 2], tar_median = tars[rounds / 2];
    printf("tree                   %zu bytes, 3000 small files, 4 large\n", total);
    printf("brindlex-unpack median %.3f s (best %.3f)\n", our_median, ours[0]);
    printf("tar -x median          %.3f s (best %.3f)\n", tar_median, tars[0]);
    printf("ratio tar/unpack       %.2f on the medians, %.2f on the best times\n",
           tar_median / our_median, tars[0] / ours[0]);
    return 0;
}
