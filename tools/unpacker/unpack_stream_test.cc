// The unpacker's work in this process, over sources that hand out the
// input in pieces as small as one byte or fail partway: what it installs,
// says and records does not depend on how the input arrives.
#include "unpack_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "unpacker_test_support.h"

namespace {

using namespace unpacker_test;

// The input of the source functions below: a file read through at most
// `piece` bytes per read, failing with EIO once `fail_at` bytes are out.
size_t piece = 1;
size_t fail_at = SIZE_MAX;
size_t handed_out = 0;

ssize_t read_in_pieces(int fd, void* buffer, size_t size) {
    if (handed_out >= fail_at) {
        errno = EIO;
        return -1;
    }
    size_t n = std::min({size, piece, fail_at - handed_out});
    ssize_t got = read(fd, buffer, n);
    if (got > 0) handed_out += size_t(got);
    return got;
}

// What one run in this process printed and whether it succeeded.
struct StreamResult {
    bool ok;
    std::string out;
    std::string err;
};

class InProcess : public Scratch {
  protected:
    StreamResult unpack_in_process(const std::string& bytes, size_t piece_size,
                                   size_t fail_after = SIZE_MAX) {
        write_file(dir + "/input", bytes);
        piece = piece_size;
        fail_at = fail_after;
        handed_out = 0;
        int input = open((dir + "/input").c_str(), O_RDONLY);
        char *out_text = nullptr, *err_text = nullptr;
        size_t out_size = 0, err_size = 0;
        Unpacker u;
        u.root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        u.out = open_memstream(&out_text, &out_size);
        u.err = open_memstream(&err_text, &err_size);
        UnpackInput in;
        input_init(in, input, 1 << 16);
        in.read_some = read_in_pieces;
        mode_t mask = umask(0);
        bool ok = unpack_stream(u, in);
        umask(mask);
        fclose(u.out);
        fclose(u.err);
        close(u.root_fd);
        close(input);
        StreamResult r{ok, out_text, err_text};
        free(out_text);
        free(err_text);
        return r;
    }
};

TEST_F(InProcess, InputInOneBytePiecesGivesTheSameResult) {
    RawPackage a, later, b;
    a.ident("sixteen-byte-nam")
        .description("first")
        .depends({"base", "other"})
        .entry(PART_DIRECTORY, "etc", "", 0750)
        .entry(PART_FILE, "etc/conf", std::string(70000, 'c'))
        .entry(PART_SYMLINK, "etc/link", "conf");
    later.ident("later", 2).entry(PART_FILE, "later", "l");
    b.ident("second").entry(PART_FILE, "second", "2");
    std::string bytes = a.finish() + later.finish() + b.finish();

    std::string expected_out =
        "sixteen-byte-nam: 3 of 3 entries installed\n"
        "later: 0 of 1 entries installed (with errors)\n"
        "second: 1 of 1 entries installed\n";
    std::string expected_record =
        "name sixteen-byte-nam\ndescription first\ndepends base\ndepends other\n"
        "path etc\npath etc/conf\npath etc/link\nstate complete\n";
    for (size_t size : {size_t(1), size_t(7), size_t(1 << 16)}) {
        fs::remove_all(root);
        fs::create_directory(root);
        StreamResult r = unpack_in_process(bytes, size);
        EXPECT_FALSE(r.ok) << size;
        EXPECT_EQ(expected_out, r.out) << size;
        EXPECT_EQ("brindlex-unpack: later: made for a later content format; not installed\n", r.err)
            << size;
        EXPECT_EQ(std::string(70000, 'c'), read_file(root + "/etc/conf"));
        EXPECT_EQ("conf", fs::read_symlink(root + "/etc/link").string());
        EXPECT_FALSE(fs::exists(root + "/later"));
        EXPECT_EQ(expected_record, read_file(root + "/var/pdb/sixteen-byte-nam")) << size;
        struct stat st;
        ASSERT_EQ(0, stat((root + "/etc").c_str(), &st));
        EXPECT_EQ(0750u, st.st_mode & 07777);
        EXPECT_EQ(1000000000, st.st_mtim.tv_sec) << "the directory's time, set last";
    }
}

TEST_F(InProcess, ReadErrorAnywhereFailsTheRunAndIsSaid) {
    RawPackage a;
    a.ident("pkg").entry(PART_FILE, "file", std::string(5000, 'f'));
    std::string bytes = a.finish() + a.finish();
    // Failing at every offset of the second package, and between the two.
    for (size_t at = bytes.size() / 2; at < bytes.size(); at += 331) {
        StreamResult r = unpack_in_process(bytes, 4096, at);
        EXPECT_FALSE(r.ok) << at;
        EXPECT_NE(std::string::npos, r.err.find("cannot read the input: Input/output error"))
            << at << "\n"
            << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("truncated")) << at << "\n" << r.err;
        EXPECT_EQ(0u, r.out.find("pkg: 1 of 1 entries installed\n")) << at << "\n" << r.out;
    }
}

}  // namespace
