#include "floppy/floppy_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "floppy/floppy_test_files.h"
#include "startup/process_state.h"

namespace {

std::string read_all(FILE* f) {
    std::string s;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

std::string read_file(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return "";
    std::string s = read_all(f);
    fclose(f);
    return s;
}

// Runs the reader in a temporary working folder, with the log terminal at a
// file "log" there and the console captured.
class FloppyReader : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/floppy_reader_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        memcpy(old_log_, log_terminal, sizeof old_log_);
        snprintf(log_terminal, sizeof log_terminal, "log");
        ctx_ = InstallContext{};
        init_install_context(ctx_);
    }
    void TearDown() override {
        memcpy(log_terminal, old_log_, sizeof old_log_);
        ASSERT_EQ(chdir(old_cwd_), 0);
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    // copy_floppy_part over the bytes of a data file; out_ receives the
    // payload, console_ what was printed.
    int copy(const std::string& part_file, FILE* out = nullptr) {
        FILE* floppy = tmpfile();
        fwrite(part_file.data(), 1, part_file.size(), floppy);
        rewind(floppy);
        FILE* sink = out != nullptr ? out : tmpfile();
        fflush(stdout);
        int saved = dup(1);
        FILE* screen = tmpfile();
        dup2(fileno(screen), 1);
        int result = copy_floppy_part(ctx_, floppy, sink);
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        console_ = read_all(screen);
        fclose(screen);
        if (out == nullptr) {
            out_ = read_all(sink);
            fclose(sink);
        }
        floppy_position_ = ftell(floppy);
        fclose(floppy);
        return result;
    }

    std::string log() { return read_file("log"); }

    std::string dir_;
    char old_cwd_[4096];
    char old_log_[10];
    InstallContext ctx_;
    std::string out_;
    std::string console_;
    long floppy_position_ = 0;  // how far the reader read the floppy's file
};

std::string empty_bar() {
    return "[" + std::string(70, ' ') + "]";
}

TEST_F(FloppyReader, GoodPartIsCopiedWholeWithItsProgressLine) {
    TestPart t;
    t.part_index = 1;
    t.part_count = 3;
    t.block_size = 512;
    t.group_blocks = 8;
    std::string payload = pattern_payload(10000);
    EXPECT_EQ(copy(build_part(t, payload)), 10000);
    EXPECT_EQ(out_, payload);
    EXPECT_EQ(console_.rfind("Installing part 2 of 3...\n" + empty_bar(), 0), 0u) << console_;
    EXPECT_NE(console_.find("\r[" + std::string(70, '#')), std::string::npos);
    EXPECT_EQ(console_.back(), '\n');
    EXPECT_EQ(ctx_.floppy_header.part_count, 3);
    EXPECT_EQ(ctx_.floppy_header.set_id, 0x1234u);
    EXPECT_EQ(log(), "");
}

TEST_F(FloppyReader, OneBadPayloadBlockPerGroupIsRebuiltAndLogged) {
    TestPart t;  // 60 data bytes, 4 payload blocks and 1 parity block a group
    std::string payload = pattern_payload(60 * 4 * 3 + 17);
    std::vector<Damage> damage = {{0, 3, 0}, {1, 0, 59}, {2, 2, 61}, {3, 0, 5}};
    EXPECT_EQ(copy(build_part(t, payload, damage)), static_cast<int>(payload.size()));
    EXPECT_EQ(out_, payload);
    EXPECT_EQ(log(),
              "Recovering bad block #3\nRecovering bad block #0\n"
              "Recovering bad block #2\nRecovering bad block #0\n");
}

TEST_F(FloppyReader, DamagedParityBlockAlonePassesSilently) {
    TestPart t;
    std::string payload = pattern_payload(500);
    EXPECT_EQ(copy(build_part(t, payload, {{0, 4, 10}, {1, 4, 62}})), 500);
    EXPECT_EQ(out_, payload);
    EXPECT_EQ(log(), "");
}

TEST_F(FloppyReader, TwoBadBlocksInOneGroupMakeTheFloppyBad) {
    TestPart t;
    std::string payload = pattern_payload(500);
    EXPECT_EQ(copy(build_part(t, payload, {{1, 0, 3}, {1, 4, 3}})), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(console_.back(), '\n');  // the bar is ended
    EXPECT_EQ(copy(build_part(t, payload, {{0, 1, 3}, {0, 2, 3}})), 0);
    EXPECT_EQ(out_, "");
}

TEST_F(FloppyReader, WithoutParityAnyDamageIsFatal) {
    TestPart t;
    t.parity_blocks = 0;
    std::string payload = pattern_payload(700);
    EXPECT_EQ(copy(build_part(t, payload)), 700);
    EXPECT_EQ(out_, payload);
    EXPECT_EQ(copy(build_part(t, payload, {{1, 2, 0}})), 0);
    EXPECT_EQ(log(), "");
}

TEST_F(FloppyReader, TwoParityBlocksTolerateParityDamageOnly) {
    TestPart t;
    t.group_blocks = 6;
    t.parity_blocks = 2;
    std::string payload = pattern_payload(900);
    EXPECT_EQ(copy(build_part(t, payload, {{0, 4, 1}, {1, 5, 1}})), 900);
    EXPECT_EQ(out_, payload);
    EXPECT_EQ(copy(build_part(t, payload, {{2, 3, 1}})), 0);
    EXPECT_EQ(log(), "");
}

TEST_F(FloppyReader, AnotherSetBecomesTheReference) {
    TestPart first;
    first.set_id = 7;
    first.part_count = 3;
    std::string payload = pattern_payload(300);
    EXPECT_EQ(copy(build_part(first, payload)), 300);  // first floppy: any set id

    TestPart stranger = first;
    stranger.set_id = 9;
    EXPECT_EQ(copy(build_part(stranger, payload)), 0);
    EXPECT_EQ(console_, "");
    EXPECT_EQ(ctx_.floppy_header.set_id, 9u);

    TestPart second = first;
    second.part_index = 1;
    EXPECT_EQ(copy(build_part(second, payload)), 0);  // rejected once
    EXPECT_EQ(copy(build_part(second, payload)), 300);
    EXPECT_EQ(out_, payload);
}

TEST_F(FloppyReader, GroupOfOneMegabyteIsTheLimit) {
    TestPart t;
    t.block_size = 1024;
    t.group_blocks = 1024;
    std::string payload = pattern_payload(5000);
    EXPECT_EQ(copy(build_part(t, payload)), 5000);
    EXPECT_EQ(out_, payload);
    t.group_blocks = 1025;
    EXPECT_EQ(copy(build_part(t, payload)), 0);
    EXPECT_EQ(console_, "");
}

TEST_F(FloppyReader, EmptyPayloadPrintsItsLineAndCountsAsBad) {
    TestPart t;
    EXPECT_EQ(copy(build_part(t, "")), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(console_,
              "Installing part 1 of 1...\n" + empty_bar() + "\r[" + std::string(70, '#') + "\n");
}

TEST_F(FloppyReader, ShortFilesAndForeignHeadersAreBad) {
    TestPart t;
    std::string payload = pattern_payload(400);
    std::string whole = build_part(t, payload);
    EXPECT_EQ(copy(whole.substr(0, 31)), 0);
    EXPECT_EQ(console_, "");
    EXPECT_EQ(copy(whole.substr(0, 32 + 64 * 5 + 30)), 0);      // inside a block's data
    EXPECT_EQ(copy(whole.substr(0, 32 + 64 * 5 + 60 + 2)), 0);  // inside its checksum
    EXPECT_EQ(out_, "");
    TestPart foreign = t;
    foreign.magic = 0x12345678;
    EXPECT_EQ(copy(build_part(foreign, payload)), 0);
    EXPECT_EQ(console_, "");
    EXPECT_EQ(copy(whole), 400);
}

TEST_F(FloppyReader, ImpossibleGeometryIsBadNotACrash) {
    std::string payload = pattern_payload(100);
    for (uint16_t block_size : {0, 1, 4}) {
        std::string file = build_part(TestPart{}, payload);
        file[16] = static_cast<char>(block_size);
        file[17] = 0;
        EXPECT_EQ(copy(file), 0) << block_size;
    }
    for (uint16_t blocks : {0, 1}) {  // parity 1: no payload block left
        std::string file = build_part(TestPart{}, payload);
        file[18] = static_cast<char>(blocks);
        EXPECT_EQ(copy(file), 0) << blocks;
    }
    std::string huge = build_part(TestPart{}, payload, {}, 0x80000000u);
    EXPECT_EQ(copy(huge), 0);
    EXPECT_EQ(console_, "");
}

TEST_F(FloppyReader, PayloadLongerThanTheFileIsBadBeforeAnyGroupIsRead) {
    // 2 GiB of payload claimed by a file of a few hundred bytes: no memory
    // is sought for it and no group is read.
    TestPart t;
    std::string file = build_part(t, pattern_payload(400), {}, 0x7fff0000u);
    EXPECT_EQ(copy(file), 0);
    EXPECT_EQ(floppy_position_, 32);
    EXPECT_EQ(console_, "Installing part 1 of 1...\n" + empty_bar() + "\n");
    // One byte more payload than the file could hold at all.
    file = build_part(t, pattern_payload(400), {}, uint32_t(file.size() - 32 + 1));
    EXPECT_EQ(copy(file), 0);
    EXPECT_EQ(floppy_position_, 32);
    EXPECT_EQ(copy(build_part(t, pattern_payload(400))), 400);
}

TEST_F(FloppyReader, WriteFailureIsMinusOne) {
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &old), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // the reader has gone
    FILE* out = fdopen(fds[1], "w");
    TestPart t;
    t.block_size = 1024;
    t.group_blocks = 16;
    EXPECT_EQ(copy(build_part(t, pattern_payload(100)), out), -1);
    EXPECT_EQ(console_.back(), '\n');
    fclose(out);
    sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace
