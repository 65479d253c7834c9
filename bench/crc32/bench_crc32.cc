// Times crc32_ieee against zlib's crc32 over the same 64 MiB in one run and
// prints the ratio zlib time / our time (1.0 or more: at least as fast).
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "floppy/crc32.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double best_seconds(int rounds, F f) {
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main() {
    const size_t size = 64u << 20;
    std::vector<unsigned char> data(size);
    uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 24);
    }
    uint32_t ours = 0, theirs = 0;
    // Alternate the two so that neither profits from a warmer machine.
    double ours_s = 1e9, zlib_s = 1e9;
    for (int round = 0; round < 15; ++round) {
        ours_s = std::min(ours_s, best_seconds(1, [&] { ours = crc32_ieee(data.data(), size); }));
        zlib_s = std::min(zlib_s, best_seconds(1, [&] {
                              theirs = static_cast<uint32_t>(crc32(
                                  crc32(0, nullptr, 0), data.data(), static_cast<uInt>(size)));
                          }));
    }
    // The floppy reader's case: one checksum per 1020-byte block.
    volatile uint32_t sink = 0;  // keeps the block loops
    double blocks_s = 1e9, zlib_blocks_s = 1e9;
    for (int round = 0; round < 15; ++round) {
        blocks_s = std::min(blocks_s, best_seconds(1, [&] {
                                uint32_t acc = 0;
                                for (size_t pos = 0; pos + 1020 <= size; pos += 1024)
                                    acc ^= crc32_ieee(&data[pos], 1020);
                                sink = sink ^ acc;
                            }));
        zlib_blocks_s = std::min(zlib_blocks_s, best_seconds(1, [&] {
                                     uLong acc = 0;
                                     for (size_t pos = 0; pos + 1020 <= size; pos += 1024)
                                         acc ^= crc32(0, &data[pos], 1020);
                                     sink = sink ^ static_cast<uint32_t>(acc);
                                 }));
    }
    if (ours != theirs) {
        fprintf(stderr, "checksums differ: %08x against zlib %08x\n", ours, theirs);
        return 1;
    }
    double mib = static_cast<double>(size) / (1 << 20);
    printf("zlib %s\n", zlibVersion());
    printf(
        "64 MiB in one call : ours %.4f s (%.0f MiB/s), zlib %.4f s (%.0f MiB/s), "
        "ratio zlib/ours %.2f\n",
        ours_s, mib / ours_s, zlib_s, mib / zlib_s, zlib_s / ours_s);
    printf("1020-byte blocks   : ours %.4f s, zlib %.4f s, ratio zlib/ours %.2f\n", blocks_s,
           zlib_blocks_s, zlib_blocks_s / blocks_s);
    return 0;
}
