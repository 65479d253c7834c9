// Benchmark: scanning a medium of 50 packages of 10 MB each must read only
// the part headers and the three catalogue parts, less than 1 MB in all.
// Reports the bytes read (rchar of /proc/self/io) and the time of a scan,
// and of the reference: reading every file whole once.
//
// The content parts are holes in sparse files, so the files cost no disk
// space; half of the packages carry theirs before the identification, half
// between the identification and the description, so the scan has to pass
// over every one of them.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "packages/package_catalogue.h"

namespace {

constexpr int PACKAGES = 50;
constexpr uint32_t CONTENT_BYTES = 10u * 1024 * 1024;
constexpr uint64_t GOAL_BYTES = 1024 * 1024;
constexpr int SCAN_ROUNDS = 20;

void put_u16(std::string& out, uint32_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void put_u32(std::string& out, uint32_t value) {
    put_u16(out, value & 0xFFFF);
    put_u16(out, value >> 16);
}

std::string part_header(int type, uint32_t length) {
    std::string header;
    put_u16(header, static_cast<uint32_t>(type));
    put_u32(header, length);
    return header;
}

std::string part(int type, const std::string& data) {
    return part_header(type, static_cast<uint32_t>(data.size())) + data;
}

bool write_all(int fd, const std::string& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// One package file: a 10 MB content part (a hole) before or after the
// identification record.
bool write_package(const std::string& path, int number) {
    char name[32];
    snprintf(name, sizeof name, "bench%02d", number);
    std::string record(name);
    record.resize(32, '\0');
    std::string description = part(2, std::string("Benchmark package ") + name);
    std::string depends;
    put_u16(depends, 1);
    std::string system("system");
    system.resize(32, '\0');
    depends += system;
    std::string identification = part(1, record);
    std::string dependencies = part(3, depends);
    uint32_t body = static_cast<uint32_t>(identification.size() + description.size() +
                                          dependencies.size() + 6 + CONTENT_BYTES);

    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::string header;
    put_u32(header, 0xBAD0F11E);
    put_u32(header, body);
    bool ok = write_all(fd, header);
    bool content_first = number % 2 == 0;
    if (!content_first) ok = ok && write_all(fd, identification);
    ok = ok && write_all(fd, part_header(9, CONTENT_BYTES));
    ok = ok && lseek(fd, CONTENT_BYTES, SEEK_CUR) >= 0;
    if (content_first) ok = ok && write_all(fd, identification);
    ok = ok && write_all(fd, description) && write_all(fd, dependencies);
    ok = close(fd) == 0 && ok;
    return ok;
}

// Bytes this process has read so far.
uint64_t bytes_read() {
    FILE* io = fopen("/proc/self/io", "r");
    if (io == nullptr) return 0;
    char line[128];
    unsigned long long value = 0;
    while (fgets(line, sizeof line, io) != nullptr) {
        if (sscanf(line, "rchar: %llu", &value) == 1) break;
    }
    fclose(io);
    return value;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    char pattern[] = "/tmp/catalogue-scan.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::string directory = pattern;
    for (int i = 0; i < PACKAGES; ++i) {
        char file[64];
        snprintf(file, sizeof file, "/bench%02d.vpk", i);
        if (!write_package(directory + file, i)) {
            fprintf(stderr, "cannot write %s%s\n", directory.c_str(), file);
            return 1;
        }
    }

    // The scan, once for the bytes and then repeatedly for the time.
    PackageList list;
    init_package_list(list, directory.c_str());
    uint64_t before = bytes_read();
    bool ok = scan_packages(list, false);
    uint64_t scan_bytes = bytes_read() - before;
    int count = list.count;
    free_package_list(list);
    auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < SCAN_ROUNDS && ok; ++round) {
        init_package_list(list, directory.c_str());
        ok = scan_packages(list, false);
        free_package_list(list);
    }
    double scan_seconds = seconds_since(start) / SCAN_ROUNDS;

    // The reference: every file read whole once.
    before = bytes_read();
    start = std::chrono::steady_clock::now();
    static char buffer[65536];
    for (int i = 0; i < PACKAGES; ++i) {
        char file[64];
        snprintf(file, sizeof file, "/bench%02d.vpk", i);
        int fd = open((directory + file).c_str(), O_RDONLY);
        if (fd < 0) continue;
        while (read(fd, buffer, sizeof buffer) > 0) {
        }
        close(fd);
    }
    double whole_seconds = seconds_since(start);
    uint64_t whole_bytes = bytes_read() - before;

    for (int i = 0; i < PACKAGES; ++i) {
        char file[64];
        snprintf(file, sizeof file, "/bench%02d.vpk", i);
        unlink((directory + file).c_str());
    }
    rmdir(directory.c_str());

    if (!ok || count != PACKAGES) {
        fprintf(stderr, "the scan failed (%d packages)\n", count);
        return 1;
    }
    printf("catalogue of %d packages of %u bytes each\n", PACKAGES, CONTENT_BYTES);
    printf("scan:          %10llu bytes read, %9.6f s per scan (%d rounds)\n",
           static_cast<unsigned long long>(scan_bytes), scan_seconds, SCAN_ROUNDS);
    printf("whole files:   %10llu bytes read, %9.6f s\n",
           static_cast<unsigned long long>(whole_bytes), whole_seconds);
    printf("ratio scan/whole: bytes %.6f, time %.6f\n",
           static_cast<double>(scan_bytes) / static_cast<double>(whole_bytes),
           scan_seconds / whole_seconds);
    bool met = scan_bytes < GOAL_BYTES;
    printf("goal (< %llu bytes read): %s\n", static_cast<unsigned long long>(GOAL_BYTES),
           met ? "met" : "MISSED");
    return met ? 0 : 1;
}
