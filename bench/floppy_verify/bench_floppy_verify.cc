// Times copy_floppy_part over one full floppy's data file held in memory
// (default geometry: 1024-byte blocks, 32 blocks a group, one parity block),
// clean and with one bad payload block in every group, against a plain copy
// of the same bytes through the same streams without any checking.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "floppy/floppy_reader.h"
#include "floppy_set_writer.h"
#include "startup/install_context.h"
#include "startup/process_state.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One run of the reader over the file bytes; the console goes nowhere.
double time_reader(const std::string& file, FILE* sink, int& result) {
    FILE* floppy = fmemopen(const_cast<char*>(file.data()), file.size(), "r");
    InstallContext ctx;
    init_install_context(ctx);
    auto start = Clock::now();
    result = copy_floppy_part(ctx, floppy, sink);
    double s = seconds_since(start);
    fclose(floppy);
    return s;
}

double time_plain_copy(const std::string& file, FILE* sink) {
    FILE* floppy = fmemopen(const_cast<char*>(file.data()), file.size(), "r");
    static char buffer[1 << 21];
    auto start = Clock::now();
    size_t n = fread(buffer, 1, sizeof buffer, floppy);
    for (size_t pos = 0; pos < n; pos += 4096)
        fwrite(buffer + pos, 1, std::min<size_t>(4096, n - pos), sink);
    fflush(sink);
    double s = seconds_since(start);
    fclose(floppy);
    return s;
}

}  // namespace

int main() {
    FloppySetOptions options;
    options.images = false;
    uint64_t capacity = part_payload_capacity(options);
    std::string payload(capacity, '\0');
    uint32_t x = 99;
    for (char& c : payload) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    std::string clean = build_floppy_part(options, 1, 0, 1, payload);
    unsigned groups = static_cast<unsigned>((clean.size() - 32) / (1024 * 32));
    for (unsigned g = 0; g < groups; ++g) options.damage.push_back({0, g, g % 31});
    std::string damaged = build_floppy_part(options, 1, 0, 1, payload);

    snprintf(log_terminal, sizeof log_terminal, "/dev/null");
    FILE* sink = fopen("/dev/null", "w");
    fflush(stdout);
    int saved_stdout = dup(1);
    FILE* quiet = fopen("/dev/null", "w");
    dup2(fileno(quiet), 1);  // the progress bar

    double clean_s = 1e9, damaged_s = 1e9, plain_s = 1e9;
    int clean_result = 0, damaged_result = 0;
    for (int round = 0; round < 15; ++round) {
        clean_s = std::min(clean_s, time_reader(clean, sink, clean_result));
        damaged_s = std::min(damaged_s, time_reader(damaged, sink, damaged_result));
        plain_s = std::min(plain_s, time_plain_copy(clean, sink));
    }
    fflush(stdout);
    dup2(saved_stdout, 1);
    if (clean_result != static_cast<int>(capacity) || damaged_result != clean_result) {
        fprintf(stderr, "reader failed: %d, %d\n", clean_result, damaged_result);
        return 1;
    }
    printf("one floppy: %zu bytes, %u groups, %d payload bytes\n", clean.size(), groups,
           clean_result);
    printf("plain copy            : %.2f ms\n", plain_s * 1e3);
    printf("verify, clean         : %.2f ms (ratio to plain copy %.2f)\n", clean_s * 1e3,
           clean_s / plain_s);
    printf("verify, %u repairs    : %.2f ms (ratio to plain copy %.2f)\n", groups, damaged_s * 1e3,
           damaged_s / plain_s);
    // A 1.44 MB drive reads about 45 KB/s (300 rpm, 18 sectors a track a side).
    double drive_s = static_cast<double>(clean.size()) / (45.0 * 1024);
    printf("drive read time about %.0f s: verifying adds %.4f%% of it\n", drive_s,
           100.0 * damaged_s / drive_s);
    return 0;
}
