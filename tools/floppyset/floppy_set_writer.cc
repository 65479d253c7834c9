#include "floppy_set_writer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "floppy/crc32.h"
#include "floppy/floppy_header.h"

namespace {

void put_le(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::string part_name(unsigned index) {
    char name[32];
    snprintf(name, sizeof name, "brindlex.n%2.2u", index);
    return name;
}

// Runs a program found on PATH (or in /sbin, /usr/sbin) with no shell in
// between; its output goes to our standard error. True on exit status 0.
bool run_tool(const std::vector<std::string>& args, std::string& error) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        error = std::string("cannot start ") + args[0] + ": " + strerror(errno);
        return false;
    }
    if (pid == 0) {
        dup2(2, 1);
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
        execvp(argv[0], argv.data());
        for (const char* dir : {"/sbin/", "/usr/sbin/"}) {
            std::string path = std::string(dir) + args[0];
            execv(path.c_str(), argv.data());
        }
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = std::string("lost ") + args[0];
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    error = args[0] + (WIFEXITED(status) && WEXITSTATUS(status) == 127
                           ? std::string(" is not installed (dosfstools, mtools)")
                           : std::string(" failed"));
    return false;
}

bool write_file(const std::string& path, const std::string& bytes, std::string& error) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        error = path + ": " + strerror(errno);
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (fclose(f) == 0) && ok;
    if (!ok) error = path + ": write failed";
    return ok;
}

}  // namespace

uint64_t part_payload_capacity(const FloppySetOptions& o) {
    uint64_t group_bytes = uint64_t{o.block_size} * o.group_blocks;
    if (group_bytes == 0 || o.block_size <= 4 || o.parity_blocks >= o.group_blocks) return 0;
    if (o.capacity < sizeof(FloppyHeader)) return 0;
    uint64_t groups = (o.capacity - sizeof(FloppyHeader)) / group_bytes;
    return groups * (o.group_blocks - o.parity_blocks) * (o.block_size - 4);
}

std::string check_floppy_set_options(const FloppySetOptions& o) {
    if (o.block_size <= 4 || o.block_size > 65535)
        return "block size must be between 5 and 65535 bytes";
    if (o.group_blocks < 1 || o.group_blocks > 65535)
        return "blocks per group must be between 1 and 65535";
    if (o.parity_blocks >= o.group_blocks)
        return "a group needs at least one payload block beside its parity blocks";
    if (uint64_t{o.block_size} * o.group_blocks > 1048576)
        return "a group may hold at most 1048576 bytes (block size x blocks per group)";
    if (part_payload_capacity(o) == 0) return "not one group fits into the floppy capacity";
    for (const BlockDamage& d : o.damage)
        if (d.block >= o.group_blocks) return "damaged block number is beyond the group";
    return "";
}

std::string build_floppy_part(const FloppySetOptions& o, uint32_t set_id, unsigned part_index,
                              unsigned part_count, const std::string& payload) {
    std::string out;
    put_le(out, FLOPPY_MAGIC, 4);
    put_le(out, payload.size(), 4);
    put_le(out, set_id, 4);
    put_le(out, part_index, 2);
    put_le(out, part_count, 2);
    put_le(out, o.block_size, 2);
    put_le(out, o.group_blocks, 2);
    put_le(out, o.parity_blocks, 2);
    out.append(10, '\0');

    size_t data = o.block_size - 4;
    size_t payload_blocks = o.group_blocks - o.parity_blocks;
    size_t pos = 0;
    for (unsigned group = 0; pos < payload.size(); ++group) {
        std::string parity(data, '\0');
        std::vector<std::string> blocks;
        for (size_t b = 0; b < payload_blocks; ++b) {
            std::string block = pos < payload.size() ? payload.substr(pos, data) : std::string();
            block.resize(data, '\0');  // filler after the payload
            pos += data;
            for (size_t k = 0; k < data; ++k) parity[k] ^= block[k];
            blocks.push_back(std::move(block));
        }
        // Every parity block is the same XOR: any one of them can vouch
        // for the group by its checksum.
        for (size_t p = 0; p < o.parity_blocks; ++p) blocks.push_back(parity);
        for (size_t b = 0; b < blocks.size(); ++b) {
            std::string& block = blocks[b];
            uint32_t crc = crc32_ieee(block.data(), block.size());
            for (const BlockDamage& d : o.damage)
                if (d.part == part_index && d.group == group && d.block == b)
                    block[data / 2] = static_cast<char>(block[data / 2] ^ 0xA5);
            out += block;
            put_le(out, crc, 4);
        }
    }
    return out;
}

unsigned write_floppy_set(const FloppySetOptions& o, const std::string& payload,
                          const std::string& out_dir, std::string& error) {
    error = check_floppy_set_options(o);
    if (!error.empty()) return 0;
    if (payload.empty()) {
        error = "the payload is empty";
        return 0;
    }
    uint64_t per_part = part_payload_capacity(o);
    uint64_t parts = (payload.size() + per_part - 1) / per_part;
    if (parts > 65535) {
        error = "the payload needs more than 65535 floppies";
        return 0;
    }
    struct stat st;
    if (stat(out_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = out_dir + ": not a folder";
        return 0;
    }
    uint32_t set_id = o.set_id != 0 ? o.set_id : crc32_ieee(payload.data(), payload.size()) | 1;

    // Everything is made under temporary names first.
    std::vector<std::pair<std::string, std::string>> renames;
    auto discard = [&renames]() {
        for (auto& r : renames) unlink(r.first.c_str());
    };
    for (unsigned i = 0; i < parts; ++i) {
        std::string name = part_name(i);
        std::string data_tmp = out_dir + "/." + name + ".tmp";
        std::string bytes = build_floppy_part(
            o, set_id, i, static_cast<unsigned>(parts),
            payload.substr(static_cast<size_t>(i * per_part), static_cast<size_t>(per_part)));
        renames.emplace_back(data_tmp, out_dir + "/" + name);
        if (!write_file(data_tmp, bytes, error)) {
            discard();
            return 0;
        }
        if (!o.images) continue;
        std::string image_tmp = out_dir + "/." + name + ".img.tmp";
        unlink(image_tmp.c_str());  // mkfs.vfat -C wants a new file
        renames.emplace_back(image_tmp, out_dir + "/" + name + ".img");
        if (!run_tool({"mkfs.vfat", "-C", "-n", "BRINDLEX", image_tmp, "1440"}, error) ||
            !run_tool({"mcopy", "-i", image_tmp, data_tmp, "::" + name}, error)) {
            discard();
            return 0;
        }
    }
    for (auto& r : renames) {
        if (rename(r.first.c_str(), r.second.c_str()) != 0) {
            error = r.second + ": " + strerror(errno);
            discard();
            return 0;
        }
    }
    // Parts of an earlier, longer set would only confuse.
    if (DIR* d = opendir(out_dir.c_str())) {
        std::vector<std::string> stale;
        while (dirent* e = readdir(d)) {
            unsigned index;
            int used = 0;
            if (sscanf(e->d_name, "brindlex.n%u%n", &index, &used) != 1 || index < parts) continue;
            if (e->d_name[used] == '\0' || strcmp(e->d_name + used, ".img") == 0)
                stale.push_back(out_dir + "/" + e->d_name);
        }
        closedir(d);
        for (const std::string& path : stale) unlink(path.c_str());
    }
    return static_cast<unsigned>(parts);
}
