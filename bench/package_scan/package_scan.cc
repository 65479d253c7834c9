// Builds a package of about 200 MB (a few large files), then reads its
// parts 1 to 3 the way the catalogue does and reports how many bytes the
// process read from the file (rchar of /proc/self/io), against a plain
// read of the whole file in the same run.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "package_builder.h"
#include "packages/package_reader.h"

namespace {

long long rchar() {
    FILE* f = fopen("/proc/self/io", "r");
    if (f == nullptr) return -1;
    char line[128];
    long long value = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "rchar: %lld", &value) == 1) break;
    fclose(f);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    std::string base = argc > 1 ? argv[1] : "/tmp";
    std::string dir = base + "/bench-package-scan." + std::to_string(getpid());
    std::filesystem::create_directories(dir + "/tree/usr/lib");
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 31 + 7);
    for (int f = 0; f < 4; ++f) {
        FILE* out = fopen((dir + "/tree/usr/lib/large" + std::to_string(f)).c_str(), "wb");
        for (int mb = 0; mb < 50; ++mb) fwrite(block.data(), 1, block.size(), out);
        fclose(out);
    }
    PackageSource source;
    source.name = "large";
    source.description = "A package of four 50 MB files";
    source.depends = {"system"};
    source.tree = dir + "/tree";
    std::string pkg = dir + "/large.vpk";
    std::string error;
    if (!build_package(source, pkg, &error)) {
        fprintf(stderr, "bench_package_scan: %s\n", error.c_str());
        return 1;
    }
    std::filesystem::remove_all(dir + "/tree");
    struct stat st;
    stat(pkg.c_str(), &st);

    long long before = rchar();
    int found = 0;
    {
        std::ifstream file(pkg, std::ios::binary);
        PackageReader reader(file);
        for (int t : {1, 2, 3}) reader.add_wanted_type(t);
        std::vector<char> data;
        for (int t; (t = reader.next_part()) != -1;) {
            data.resize(reader.part_length());
            reader.read(data.data(), std::streamsize(data.size()));
            if (reader) ++found;
        }
    }
    long long scan = rchar() - before;

    before = rchar();
    {
        std::ifstream file(pkg, std::ios::binary);
        while (file.read(block.data(), std::streamsize(block.size())) || file.gcount() > 0) {
        }
    }
    long long whole = rchar() - before;
    std::filesystem::remove_all(dir);

    printf("package size          %lld bytes\n", (long long)st.st_size);
    printf("parts 1-3 found       %d\n", found);
    printf("scan read             %lld bytes\n", scan);
    printf("whole-file read       %lld bytes\n", whole);
    printf("ratio scan/whole      %.6f\n", whole > 0 ? double(scan) / double(whole) : 0.0);
    return found == 3 ? 0 : 1;
}
