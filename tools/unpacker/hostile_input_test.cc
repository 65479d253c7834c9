// The unpacker as a program against input that is odd, hostile or fails:
// packages of a later format, read errors, overlong paths and link targets,
// fields out of range, names and paths that would forge console lines, huge
// numbers of directories, runs killed in the middle of a file.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "new_files.h"
#include "unpacker_test_support.h"

namespace {

using namespace unpacker_test;

// A started unpacker whose standard input the test writes; its output goes
// to files in the scratch directory.
struct Child {
    pid_t pid = -1;
    int input = -1;  // the test's end of the unpacker's standard input
};

Child start_unpacker(const std::string& dir, const std::string& root, int stdin_fd,
                     const std::string& options = "") {
    Child c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(stdin_fd, 0);
        int out = open((dir + "/run.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((dir + "/run.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        // Only the three standard descriptors: a write end of the input
        // pipe held here would keep the input from ending.
        close_range(3, ~0u, 0);
        std::string command = std::string(BRINDLEX_UNPACK) + " " + options + " -r " + root + " -";
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), (char*)nullptr);
        _exit(127);
    }
    return c;
}

RunResult finish_unpacker(const std::string& dir, Child& c, struct rusage* usage = nullptr) {
    int status = 0;
    struct rusage ignored;
    wait4(c.pid, &status, 0, usage ? usage : &ignored);
    RunResult r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                read_file(dir + "/run.stdout"), read_file(dir + "/run.stderr")};
    return r;
}

// Runs the unpacker with a terminal as its standard input: the bytes are
// written on the other side, which is then closed, so that reading on after
// them fails with an input/output error, as a failing device would.
RunResult unpack_then_read_error(const std::string& dir, const std::string& root,
                                 const std::string& bytes) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return RunResult{-1, "", ""};
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    pid_t writer = fork();
    if (writer == 0) {
        close(master);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(slave, bytes.data() + done, bytes.size() - done);
            if (n <= 0) _exit(1);
            done += size_t(n);
        }
        tcdrain(slave);
        _exit(0);
    }
    close(slave);
    Child c = start_unpacker(dir, root, master);
    close(master);
    waitpid(writer, nullptr, 0);
    return finish_unpacker(dir, c);
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(Scratch, PackageOfALaterContentFormatIsRefusedWhole) {
    RawPackage later;
    later.ident("v2pkg", 2).entry(PART_FILE, "new-format", "x").entry(PART_DIRECTORY, "d", "");
    RawPackage good;
    good.ident("good").entry(PART_FILE, "good", "g");
    write_file(dir + "/later.vpk", later.finish());
    write_file(dir + "/good.vpk", good.finish());
    RunResult u = unpack(dir + "/later.vpk " + dir + "/good.vpk");
    EXPECT_NE(0, u.status);
    EXPECT_NE(std::string::npos,
              u.err.find("v2pkg: made for a later content format; not installed"))
        << u.err;
    EXPECT_EQ(
        "v2pkg: 0 of 2 entries installed (with errors)\n"
        "good: 1 of 1 entries installed\n",
        u.out);
    EXPECT_FALSE(fs::exists(root + "/new-format"));
    EXPECT_FALSE(fs::exists(root + "/d"));
    EXPECT_EQ("g", read_file(root + "/good"));
}

TEST_F(Scratch, ReadErrorsAreReportedAndFailTheRun) {
    RawPackage first, second;
    first.ident("first").entry(PART_FILE, "one", "1");
    second.ident("second").entry(PART_FILE, "two", std::string(3000, '2'));
    std::string a = first.finish(), b = second.finish();

    // Standard input that cannot be read at all.
    RunResult u = run(std::string(BRINDLEX_UNPACK) + " -r " + root + " - < " + dir);
    EXPECT_NE(0, u.status);
    EXPECT_NE(std::string::npos, u.err.find("cannot read the input: Is a directory")) << u.err;

    // The source fails after the first of two packages: the first is in,
    // the failure is said, and the run fails.
    u = unpack_then_read_error(dir, root, a);
    EXPECT_NE(0, u.status);
    EXPECT_EQ("first: 1 of 1 entries installed\n", u.out);
    EXPECT_NE(std::string::npos, u.err.find("cannot read the input: Input/output error")) << u.err;
    EXPECT_EQ("1", read_file(root + "/one"));

    // The source fails inside a package: a read error, not a cut package.
    u = unpack_then_read_error(dir, root, b.substr(0, 1000));
    EXPECT_NE(0, u.status);
    EXPECT_NE(std::string::npos, u.err.find("cannot read the input: Input/output error")) << u.err;
    EXPECT_EQ(std::string::npos, u.err.find("truncated")) << u.err;
    EXPECT_EQ("second: 0 of 1 entries installed (with errors)\n", u.out);
    EXPECT_FALSE(fs::exists(root + "/two"));

    // An empty input installs nothing and says so.
    u = run("printf '' | " + std::string(BRINDLEX_UNPACK) + " -r " + root + " -");
    EXPECT_EQ(1, u.status);
    EXPECT_EQ("", u.out);
    EXPECT_EQ("brindlex-unpack: the input holds no package\n", u.err);
}

TEST_F(Scratch, ErrorsOfOnePackageDoNotMarkTheNext) {
    RawPackage bad, good;
    bad.ident("bad").entry(PART_FILE, "../escape", "x");
    good.ident("good").entry(PART_FILE, "fine", "f");
    write_file(dir + "/bad.vpk", bad.finish());
    write_file(dir + "/good.vpk", good.finish());
    RunResult u = unpack(dir + "/bad.vpk " + dir + "/good.vpk " + dir + "/good.vpk");
    EXPECT_EQ(1, u.status);
    EXPECT_EQ(
        "bad: 0 of 1 entries installed (with errors)\n"
        "good: 1 of 1 entries installed\n"
        "good: 1 of 1 entries installed\n",
        u.out);
}

TEST_F(Scratch, OverlongPathOrLinkTargetRefusesOnlyItsEntry) {
    // A path of 5000 bytes in a sound part: the entry is refused and the
    // rest of the package goes in.
    std::string long_path;
    while (long_path.size() < 5000) long_path += "component/";
    long_path += "file";
    RawEntry overlong;
    overlong.path_length = int(long_path.size());
    RawPackage p;
    p.ident("paths")
        .raw_entry(PART_FILE, long_path, "data", overlong)
        .entry(PART_FILE, "after-one", "1")
        .entry(PART_FILE, "after-two", "2");
    write_file(dir + "/paths.vpk", p.finish());
    ASSERT_EQ(0, build("verify " + dir + "/paths.vpk").status);
    RunResult u = unpack(dir + "/paths.vpk");
    EXPECT_EQ(1, u.status);
    EXPECT_EQ("paths: 2 of 3 entries installed (with errors)\n", u.out);
    EXPECT_NE(std::string::npos, u.err.find("path too long")) << u.err;
    EXPECT_EQ(1u, count(u.err, "\n")) << u.err;
    EXPECT_EQ("1", read_file(root + "/after-one"));
    EXPECT_EQ("2", read_file(root + "/after-two"));

    // A link target of 4096 bytes: refused, and nothing else is wrong with
    // the package.
    RawPackage l;
    l.ident("links")
        .entry(PART_SYMLINK, "long-link", std::string(4096, 't'))
        .entry(PART_SYMLINK, "short-link", "target");
    write_file(dir + "/links.vpk", l.finish());
    RunResult v = build("verify " + dir + "/links.vpk");
    ASSERT_EQ(0, v.status) << v.err;
    u = unpack(dir + "/links.vpk");
    EXPECT_EQ(1, u.status);
    EXPECT_EQ("links: 1 of 2 entries installed (with errors)\n", u.out);
    EXPECT_NE(std::string::npos, u.err.find("refused \"long-link\"")) << u.err;
    EXPECT_EQ(std::string::npos, u.err.find("check value")) << u.err;
    EXPECT_EQ(1u, count(u.err, "\n")) << u.err;
    EXPECT_EQ("target", fs::read_symlink(root + "/short-link").string());
}

// The peak resident memory of a running process in kilobytes, -1 if unknown.
long peak_memory_kb(pid_t pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

TEST_F(Scratch, DirectoryEntriesNeedBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer keeps freed memory; measured in the plain build";
#endif
    // Many directories with long paths below one deep directory: what the
    // unpacker holds for them must not grow with their number.
    std::string deep;
    RawPackage p;
    p.ident("dirs");
    for (int level = 0; level < 15; ++level) {
        deep += (level ? "/" : "") + std::string(250, char('a' + level));
        p.entry(PART_DIRECTORY, deep, "", 0755);
    }
    const int siblings = 8000;
    for (int i = 0; i < siblings; ++i) p.entry(PART_DIRECTORY, deep + "/" + std::to_string(i), "");
    std::string bytes = p.finish();
    p.parts.clear();
    // The input stays open after the package, so the unpacker is still
    // there to be measured once it has said it is done.
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    Child c = start_unpacker(dir, root, pipe_fds[0]);
    close(pipe_fds[0]);
    std::thread writer([&] {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(pipe_fds[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += size_t(n);
        }
    });
    std::string summary = "dirs: 8015 of 8015 entries installed\n";
    for (int i = 0; i < 12000 && read_file(dir + "/run.stdout") != summary; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    long peak = peak_memory_kb(c.pid);
    writer.join();
    close(pipe_fds[1]);
    RunResult u = finish_unpacker(dir, c);
    EXPECT_EQ(0, u.status) << u.err;
    EXPECT_EQ(summary, u.out);
    // About 30 MB of paths went through; the input buffer is 1 MB.
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 16 * 1024) << "kilobytes";
    EXPECT_TRUE(fs::is_directory(root + "/" + deep + "/7999"));
}

TEST_F(Scratch, NamesAndPathsArePrintedEscaped) {
    RawPackage p;
    p.ident("ok: 9 of 9 ent\n").entry(PART_FILE, std::string("a\0b", 3), "x");
    std::string bytes = p.finish();
    RawPackage q;
    q.ident("q").entry(PART_FILE, "x\n\x1b[2Ky", "damaged");
    std::string damaged = q.finish();
    damaged[damaged.find("damaged")] ^= 1;
    write_file(dir + "/p.vpk", bytes + damaged);
    RunResult u = unpack(dir + "/p.vpk");
    EXPECT_EQ(1, u.status);
    EXPECT_EQ(
        "ok: 9 of 9 ent\\n: 0 of 1 entries installed (with errors)\n"
        "q: 0 of 1 entries installed (with errors)\n",
        u.out);
    EXPECT_NE(std::string::npos, u.err.find("refused \"a\\x00b\": NUL byte in path")) << u.err;
    EXPECT_NE(std::string::npos, u.err.find("\"x\\n\\x1b[2Ky\" is damaged")) << u.err;
    EXPECT_EQ(std::string::npos, u.err.find('\x1b'));
    EXPECT_EQ(2u, count(u.err, "\n")) << u.err;
}

TEST_F(Scratch, FieldsOutOfRangeRefuseTheirEntry) {
    RawEntry type_bits, no_owner, no_group, nanoseconds, far_time;
    type_bits.mode = 0100644;
    no_owner.uid = 0xFFFFFFFF;
    no_group.gid = 0xFFFFFFFF;
    nanoseconds.mtime_nsec = 1000000000;
    far_time.mtime = uint64_t(1) << 63;
    RawPackage p;
    p.ident("fields")
        .raw_entry(PART_FILE, "type-bits", "x", type_bits)
        .raw_entry(PART_DIRECTORY, "no-owner", "", no_owner)
        .raw_entry(PART_SYMLINK, "no-group", "t", no_group)
        .raw_entry(PART_FILE, "nanoseconds", "x", nanoseconds)
        .raw_entry(PART_FILE, "far-time", "x", far_time)
        .entry(PART_FILE, "sound", "s");
    write_file(dir + "/fields.vpk", p.finish());
    RunResult u = unpack(dir + "/fields.vpk");
    EXPECT_EQ(1, u.status);
    EXPECT_EQ("fields: 1 of 6 entries installed (with errors)\n", u.out);
    for (const char* name : {"type-bits", "no-owner", "no-group", "nanoseconds", "far-time"}) {
        EXPECT_NE(std::string::npos, u.err.find(std::string("refused \"") + name + "\""))
            << name << "\n"
            << u.err;
        EXPECT_FALSE(fs::exists(fs::symlink_status(root + "/" + name))) << name;
    }
    EXPECT_EQ("s", read_file(root + "/sound"));
}

TEST_F(Scratch, RunStoppedInsideAFileLeavesNothingBehind) {
    write_file(root + "/big", "previous");
    RawPackage p;
    p.ident("big").entry(PART_FILE, "big", std::string(8 << 20, 'b'));
    std::string bytes = p.finish();
    for (int sig : {SIGTERM, SIGINT}) {
        int pipe_fds[2];
        ASSERT_EQ(0, pipe(pipe_fds));
        Child c = start_unpacker(dir, root, pipe_fds[0]);
        close(pipe_fds[0]);
        // Half of the file, then wait until the unpacker has taken it in.
        size_t half = bytes.size() / 2, done = 0;
        while (done < half) {
            ssize_t n = write(pipe_fds[1], bytes.data() + done, half - done);
            ASSERT_GT(n, 0);
            done += size_t(n);
        }
        for (int i = 0; i < 500; ++i) {
            int waiting = 0;
            ioctl(pipe_fds[1], FIONREAD, &waiting);
            if (waiting == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(c.pid, sig);
        RunResult u = finish_unpacker(dir, c);
        close(pipe_fds[1]);
        EXPECT_EQ(128 + sig, u.status);
        std::vector<std::string> names;
        for (auto& e : fs::recursive_directory_iterator(root))
            if (!e.is_directory()) names.push_back(e.path().string());
        EXPECT_EQ(std::vector<std::string>{root + "/big"}, names) << "signal " << sig;
        EXPECT_EQ("previous", read_file(root + "/big"));
    }
}

TEST_F(Scratch, StaleTemporaryNamesDoNotStopALaterRun) {
    // What an earlier run of the same process number left behind when it
    // was killed: the new run must not trip over it.
    write_file(root + "/file", "old");
    fs::create_symlink("old-target", root + "/link");
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    Child c = start_unpacker(dir, root, pipe_fds[0]);
    close(pipe_fds[0]);
    for (unsigned n = 1; n <= 4; ++n) write_file(root + "/" + temporary_name(c.pid, n), "stale");
    RawPackage p;
    p.ident("stale").entry(PART_FILE, "file", "new").entry(PART_SYMLINK, "link", "new-target");
    std::string bytes = p.finish();
    ASSERT_EQ(ssize_t(bytes.size()), write(pipe_fds[1], bytes.data(), bytes.size()));
    close(pipe_fds[1]);
    RunResult u = finish_unpacker(dir, c);
    EXPECT_EQ(0, u.status) << u.err;
    EXPECT_EQ("stale: 2 of 2 entries installed\n", u.out);
    EXPECT_EQ("new", read_file(root + "/file"));
    EXPECT_EQ("new-target", fs::read_symlink(root + "/link").string());
}

}  // namespace
