#include "startup/memory_budget.h"

#include <sys/sysinfo.h>

#include <cinttypes>
#include <cstring>

uint64_t parse_available_memory(FILE* meminfo) {
    char line[128];
    while (fgets(line, sizeof line, meminfo) != nullptr) {
        uint64_t kib = 0;
        if (sscanf(line, "MemAvailable: %" SCNu64 " kB", &kib) == 1) return kib << 10;
    }
    return 0;
}

uint64_t available_memory() {
    FILE* meminfo = fopen("/proc/meminfo", "r");
    if (meminfo != nullptr) {
        uint64_t bytes = parse_available_memory(meminfo);
        fclose(meminfo);
        if (bytes != 0) return bytes;
    }
    struct sysinfo info;
    if (sysinfo(&info) != 0) return 0;
    return (uint64_t(info.freeram) + info.bufferram) * info.mem_unit;
}

bool fits_in_memory(uint64_t needed, uint64_t available) {
    return available >= INSTALL_MEMORY_RESERVE && needed <= available - INSTALL_MEMORY_RESERVE;
}
