// What the unpacker's tests share: a scratch directory with a root to
// install into, running the unpacker and the builder as programs, and
// packages written byte by byte (hostile ones included).
#ifndef BRINDLEX_TOOLS_UNPACKER_TEST_SUPPORT_H_
#define BRINDLEX_TOOLS_UNPACKER_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "package_content.h"

namespace unpacker_test {

namespace fs = std::filesystem;

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

// What a program run printed and how it ended.
struct RunResult {
    int status;
    std::string out;
    std::string err;
};

// A scratch directory with helpers to run the two programs inside it.
class Scratch : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/unpack-test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
        root = dir + "/root";
        fs::create_directory(root);
    }
    void TearDown() override { fs::remove_all(dir); }

    RunResult run(const std::string& command) {
        std::string full = command + " >" + dir + "/run.stdout 2>" + dir + "/run.stderr";
        int status = system(full.c_str());
        RunResult r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir + "/run.stdout"),
                    read_file(dir + "/run.stderr")};
        return r;
    }
    // Feeds the files through a pipe into the unpacker.
    RunResult unpack(const std::string& files, const std::string& options = "") {
        return run("cat " + files + " | " + BRINDLEX_UNPACK + " " + options + " -r " + root + " -");
    }
    RunResult build(const std::string& args) { return run(std::string(BRINDLEX_PKG) + " " + args); }

    std::string dir, root;
};

// The fixed head of one content entry as RawPackage writes it; every field
// can be set to a value no builder would write.
struct RawEntry {
    uint32_t mode = 0644;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t mtime = 1000000000;
    uint32_t mtime_nsec = 0;
    int path_length = -1;  // -1: the real length of the path
};

// Writes packages byte by byte, with correct check values unless damaged
// on purpose afterwards.
struct RawPackage {
    std::string parts;
    unsigned entries = 0;

    void part_header(int type, size_t length) {
        unsigned char h[PART_HEADER_SIZE];
        store_le16(h, uint16_t(type));
        store_le32(h + 2, uint32_t(length));
        parts.append(reinterpret_cast<char*>(h), sizeof h);
    }
    RawPackage& ident(const std::string& name, uint16_t version = CONTENT_FORMAT_VERSION) {
        std::string rec(IDENTIFICATION_SIZE, '\0');
        rec.replace(0, name.size(), name);
        rec[16] = char(version & 0xFF);
        rec[17] = char(version >> 8);
        part_header(PART_IDENTIFICATION, rec.size());
        parts += rec;
        return *this;
    }
    RawPackage& description(const std::string& text) {
        part_header(PART_DESCRIPTION, text.size());
        parts += text;
        return *this;
    }
    RawPackage& depends(std::initializer_list<std::string> names) {
        std::string body(2, '\0');
        store_le16(reinterpret_cast<unsigned char*>(&body[0]), uint16_t(names.size()));
        for (const std::string& n : names) {
            std::string rec(DEPENDENCY_RECORD_SIZE, '\0');
            rec.replace(0, n.size(), n);
            body += rec;
        }
        part_header(PART_DEPENDENCIES, body.size());
        parts += body;
        return *this;
    }
    RawPackage& entry(int type, const std::string& path, const std::string& data,
                      uint32_t mode = 0644) {
        RawEntry e;
        e.mode = mode;
        return raw_entry(type, path, data, e);
    }
    RawPackage& raw_entry(int type, const std::string& path, const std::string& data,
                          const RawEntry& e) {
        EntryHeader h{uint16_t(e.path_length < 0 ? path.size() : size_t(e.path_length)),
                      e.mode,
                      e.uid,
                      e.gid,
                      e.mtime,
                      e.mtime_nsec};
        unsigned char head[ENTRY_HEADER_SIZE];
        encode_entry_header(h, head);
        std::string body(reinterpret_cast<char*>(head), sizeof head);
        body += path + data;
        unsigned char ck[4];
        store_le32(ck, crc32_update(0, body.data(), body.size()));
        body.append(reinterpret_cast<char*>(ck), 4);
        part_header(type, body.size());
        parts += body;
        ++entries;
        return *this;
    }
    // The whole file: header, parts, trailer with its check value.
    std::string finish(uint32_t length_adjust = 0) const {
        std::string out(FILE_HEADER_SIZE, '\0');
        unsigned char* h = reinterpret_cast<unsigned char*>(&out[0]);
        store_le32(h, CONTENT_PACKAGE_MAGIC);
        store_le32(h + 4, uint32_t(parts.size() + PART_HEADER_SIZE + TRAILER_SIZE) + length_adjust);
        out += parts;
        unsigned char th[PART_HEADER_SIZE];
        store_le16(th, PART_TRAILER);
        store_le32(th + 2, TRAILER_SIZE);
        out.append(reinterpret_cast<char*>(th), sizeof th);
        // Header check: everything except the bodies of content entries.
        uint32_t check = crc32_update(0, out.data(), FILE_HEADER_SIZE);
        size_t pos = FILE_HEADER_SIZE;
        while (pos < out.size()) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(out.data()) + pos;
            int type = load_le16(p);
            uint32_t len = load_le32(p + 2);
            check = crc32_update(check, p, PART_HEADER_SIZE);
            bool entry = type == PART_DIRECTORY || type == PART_FILE || type == PART_SYMLINK;
            if (entry)
                check = crc32_update(check, p + PART_HEADER_SIZE + len - 4, 4);
            else if (type != PART_TRAILER)
                check = crc32_update(check, p + PART_HEADER_SIZE, len);
            pos += PART_HEADER_SIZE + (type == PART_TRAILER ? 0 : len);
        }
        unsigned char tr[TRAILER_SIZE];
        store_le32(tr, entries);
        store_le32(tr + 4, check);
        out.append(reinterpret_cast<char*>(tr), sizeof tr);
        return out;
    }
};

}  // namespace unpacker_test

#endif  // BRINDLEX_TOOLS_UNPACKER_TEST_SUPPORT_H_
