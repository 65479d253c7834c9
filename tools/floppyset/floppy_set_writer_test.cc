#include "floppy_set_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "floppy/floppy_reader.h"
#include "startup/install_context.h"
#include "startup/process_state.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 77;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 23);
    }
    return s;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A temporary working folder holding the set and the log terminal file.
class FloppySet : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/floppyset_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        memcpy(old_log_, log_terminal, sizeof old_log_);
        snprintf(log_terminal, sizeof log_terminal, "log");
    }
    void TearDown() override {
        memcpy(log_terminal, old_log_, sizeof old_log_);
        ASSERT_EQ(chdir(old_cwd_), 0);
        ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }

    // Reads parts 0..count-1 in order the way the installer does; the
    // payloads back to back, or "" when a part is refused.
    std::string read_back(unsigned count, InstallContext& ctx) {
        FILE* out = tmpfile();
        for (unsigned i = 0; i < count; ++i) {
            char name[32];
            snprintf(name, sizeof name, "brindlex.n%2.2u", i);
            FILE* part = fopen(name, "rb");
            if (part == nullptr) return "";
            int n = copy_floppy_part(ctx, part, out);
            fclose(part);
            if (n <= 0) return "";
        }
        std::string s;
        rewind(out);
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, out)) > 0) s.append(buf, n);
        fclose(out);
        return s;
    }

    std::string dir_;
    char old_cwd_[4096];
    char old_log_[10];
};

TEST_F(FloppySet, SmallPartsRoundTripThroughTheReader) {
    FloppySetOptions o;
    o.block_size = 512;
    o.group_blocks = 8;
    o.capacity = 32 + 4 * 512 * 8;  // four groups a floppy
    o.images = false;
    o.set_id = 4242;
    std::string payload = pattern(50000);
    std::string error;
    unsigned parts = write_floppy_set(o, payload, dir_, error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(parts, 4u);  // 4 * 7 * 508 = 14224 payload bytes a floppy
    for (unsigned i = 0; i < parts; ++i) {
        std::string bytes = slurp("brindlex.n0" + std::to_string(i));
        EXPECT_LE(bytes.size(), o.capacity);
        EXPECT_EQ((bytes.size() - 32) % (512 * 8), 0u);
    }
    InstallContext ctx;
    init_install_context(ctx);
    EXPECT_EQ(read_back(parts, ctx), payload);
    EXPECT_EQ(ctx.floppy_header.set_id, 4242u);
    EXPECT_EQ(ctx.floppy_header.part_index, 3);
    EXPECT_EQ(ctx.floppy_header.part_count, 4);
    EXPECT_EQ(ctx.floppy_header.payload_length, 50000u - 3 * 14224u);
    EXPECT_FALSE(exists("brindlex.n00.img"));
    EXPECT_FALSE(exists("log"));
}

TEST_F(FloppySet, DamagedBlocksAreRepairedOrRefusedAsTheParityAllows) {
    std::string payload = pattern(20000);
    FloppySetOptions o;
    o.block_size = 256;
    o.group_blocks = 6;
    o.images = false;
    o.damage = {{0, 0, 2}, {0, 3, 5}, {0, 4, 0}};  // payload, parity, payload
    std::string error;
    ASSERT_EQ(write_floppy_set(o, payload, dir_, error), 1u) << error;
    InstallContext ctx;
    init_install_context(ctx);
    EXPECT_EQ(read_back(1, ctx), payload);
    EXPECT_EQ(slurp("log"), "Recovering bad block #2\nRecovering bad block #0\n");

    o.parity_blocks = 2;  // two parity blocks: only parity damage is borne
    o.damage = {{0, 1, 4}, {0, 2, 5}};
    ASSERT_EQ(write_floppy_set(o, payload, dir_, error), 1u) << error;
    init_install_context(ctx);
    EXPECT_EQ(read_back(1, ctx), payload);
    o.damage = {{0, 1, 0}};
    ASSERT_EQ(write_floppy_set(o, payload, dir_, error), 1u) << error;
    init_install_context(ctx);
    EXPECT_EQ(read_back(1, ctx), "");

    o.parity_blocks = 0;
    o.damage = {};
    ASSERT_EQ(write_floppy_set(o, payload, dir_, error), 1u) << error;
    init_install_context(ctx);
    EXPECT_EQ(read_back(1, ctx), payload);
}

TEST_F(FloppySet, DefaultSetFillsFloppyImages) {
    std::string payload = pattern(3000000);
    // a part of an earlier, longer set
    ASSERT_EQ(system("head -c 1000 /dev/zero > brindlex.n05"), 0);
    FloppySetOptions o;
    std::string error;
    ASSERT_EQ(write_floppy_set(o, payload, dir_, error), 3u) << error;
    EXPECT_FALSE(exists("brindlex.n05"));
    for (const char* name : {"brindlex.n00", "brindlex.n01", "brindlex.n02"}) {
        std::string image = std::string(name) + ".img";
        EXPECT_EQ(slurp(image).size(), 1474560u);
        std::string cmd =
            std::string("MTOOLS_SKIP_CHECK=1 mcopy -n -i ") + image + " ::" + name + " copy";
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(slurp("copy"), slurp(name));
        unlink("copy");
    }
    InstallContext ctx;
    init_install_context(ctx);
    EXPECT_EQ(read_back(3, ctx), payload);
}

TEST_F(FloppySet, ProgramRefusesBadArgumentsAndLeavesNothingBehind) {
    std::string program = FLOPPYSET_PROGRAM;
    std::ofstream("payload", std::ios::binary) << pattern(5000);
    ASSERT_EQ(mkdir("out", 0755), 0);
    struct Case {
        std::string args;
        int status;
        const char* message;
    } cases[] = {
        {"-b 4 payload out", 2, "block size must be between 5 and 65535"},
        {"-g 8 -p 8 payload out", 2, "at least one payload block"},
        {"-b 1024 -g 1025 payload out", 2, "at most 1048576 bytes"},
        {"-b 70000 payload out", 2, "bad value '70000' for -b"},
        {"-s 0 payload out", 2, "bad value '0' for -s"},
        {"-d 1:x payload out", 2, "bad value '1:x' for -d"},
        {"-c 100 payload out", 2, "not one group fits"},
        {"payload", 2, "Usage: brindlex-floppyset"},
        {"missing out", 1, "cannot read missing"},
        {"payload nowhere", 1, "nowhere: not a folder"},
    };
    for (const Case& c : cases) {
        std::string cmd = program + " " + c.args + " >stdout 2>stderr";
        int status = system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << c.args;
        EXPECT_NE(slurp("stderr").find(c.message), std::string::npos)
            << c.args << ": " << slurp("stderr");
    }
    ASSERT_EQ(system("truncate -s 0 empty"), 0);
    EXPECT_NE(system((program + " empty out 2>stderr").c_str()), 0);
    EXPECT_NE(slurp("stderr").find("the payload is empty"), std::string::npos);
    EXPECT_EQ(system("test -z \"$(ls -A out)\""), 0) << "output left after failures";

    ASSERT_EQ(system((program + " -n payload out >stdout").c_str()), 0);
    EXPECT_EQ(slurp("stdout"), "1 data floppies in out\n");
    EXPECT_EQ(system("test \"$(ls -A out)\" = brindlex.n00"), 0);
}

}  // namespace
