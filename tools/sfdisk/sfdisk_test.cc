// Runs the real brindlex-sfdisk on image files in a temporary directory and
// checks the bytes it leaves on them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const uint64_t CYLINDER_BYTES = 255ull * 63 * 512;  // 8,225,280

// What one run of the program left behind.
struct RunResult {
    int status;  // exit status, -1 if it did not exit normally
    std::string out;
    std::string err;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    return data.str();
}

// The images are large and sparse: their state is the first two sectors
// (the tool writes only sector 0) and their size.
std::string image_state(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string head(1024, '\0');
    in.read(&head[0], 1024);
    head.resize(size_t(in.gcount()));
    in.clear();
    in.seekg(0, std::ios::end);
    return head + "|size=" + std::to_string(in.tellg());
}

class SfdiskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/sfdisk-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        image_ = dir_ + "/disk.img";
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    // A sparse image of the given size whose sector 0 holds a recognisable
    // boot code pattern in bytes 0 to 445.
    void make_image(uint64_t size) {
        int fd = open(image_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, off_t(size)), 0);
        unsigned char code[446];
        for (int i = 0; i < 446; i++) code[i] = (unsigned char)(i * 7 + 3);
        ASSERT_EQ(pwrite(fd, code, sizeof code, 0), ssize_t(sizeof code));
        close(fd);
    }

    RunResult run(const std::vector<std::string>& args, const std::string& input = "") {
        std::string in_path = dir_ + "/stdin", out_path = dir_ + "/stdout",
                    err_path = dir_ + "/stderr";
        std::ofstream(in_path, std::ios::binary) << input;
        pid_t pid = fork();
        if (pid == 0) {
            int in = open(in_path.c_str(), O_RDONLY);
            int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(SFDISK_PROGRAM));
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(SFDISK_PROGRAM, argv.data());
            _exit(127);
        }
        int wait_status = 0;
        waitpid(pid, &wait_status, 0);
        RunResult result;
        result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
        result.out = read_file(out_path);
        result.err = read_file(err_path);
        return result;
    }

    RunResult write_table(const std::string& input) { return run({"-q", "-uC", image_}, input); }

    std::string sector0() { return image_state(image_).substr(0, 512); }

    // The 16 bytes of partition entry n (1 to 4) as hex pairs.
    std::string entry_hex(int n) {
        std::string sector = sector0();
        std::string hex;
        char pair[4];
        for (int i = 0; i < 16; i++) {
            snprintf(pair, sizeof pair, "%02x", (unsigned char)sector[446 + 16 * (n - 1) + i]);
            hex += pair;
        }
        return hex;
    }

    std::string dir_;
    std::string image_;
};

TEST_F(SfdiskTest, SinglePartitionOnSmallDiskLeavesFirstTrackToBootRecord) {
    make_image(50 * CYLINDER_BYTES + 12345);  // the partial cylinder is not used
    std::string before = sector0();
    RunResult result = write_table("0,50,83,*\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    // Flag 80, CHS 0/1/1, type 83, CHS 49/254/63, LBA 63, 50*16065-63 = 803187 sectors.
    EXPECT_EQ(entry_hex(1),
              "80010100"
              "83fe3f31"
              "3f000000"
              "73410c00");
    EXPECT_EQ(entry_hex(2), std::string(32, '0'));
    EXPECT_EQ(entry_hex(3), std::string(32, '0'));
    EXPECT_EQ(entry_hex(4), std::string(32, '0'));
    std::string after = sector0();
    EXPECT_EQ(after.substr(0, 446), before.substr(0, 446)) << "boot code must be kept";
    EXPECT_EQ((unsigned char)after[510], 0x55);
    EXPECT_EQ((unsigned char)after[511], 0xaa);
}

TEST_F(SfdiskTest, TwoPartitionsBeyondCylinder1023GetClampedChs) {
    make_image(1174 * CYLINDER_BYTES);  // 9 GiB, sparse
    RunResult result = write_table("0,2,83,*\n2,1172,83,*\n");
    ASSERT_EQ(result.status, 0) << result.err;
    // Boot partition: LBA 63, 2*16065-63 = 32067 sectors, ends at 1/254/63.
    EXPECT_EQ(entry_hex(1),
              "80010100"
              "83fe3f01"
              "3f000000"
              "437d0000");
    // Root: starts at 2/0/1 (LBA 32130), 1172*16065 = 18828180 sectors,
    // ends beyond cylinder 1023: 1023/254/63 (cylinder bits 8-9 in the sector byte).
    EXPECT_EQ(entry_hex(2),
              "80000102"
              "83feffff"
              "827d0000"
              "944b1f01");
    RunResult dump = run({"-d", "-uC", image_});
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_EQ(dump.out, "# partition table of " + image_ + "\nunit: sectors\n\n" + image_ +
                            "1 : start=        63, size=     32067, Id=83, bootable\n" + image_ +
                            "2 : start=     32130, size=  18828180, Id=83, bootable\n");
}

TEST_F(SfdiskTest, ZeroLinesEmptyEntriesAndNonBootablePartitions) {
    make_image(20 * CYLINDER_BYTES);
    ASSERT_EQ(write_table("0,5,83\n5,5,82\n10,5,83\n15,5,83\n").status, 0);
    RunResult dump = run({"-d", "-uC", image_});
    EXPECT_EQ(std::count(dump.out.begin(), dump.out.end(), '\n'), 3 + 4);
    EXPECT_EQ(dump.out.find("bootable"), std::string::npos);
    EXPECT_NE(dump.out.find(image_ + "2 : start=     80325, size=     80325, Id=82\n"),
              std::string::npos)
        << dump.out;

    // The installer's single layout followed by "0,0,0" for the entries
    // that were in use before.
    RunResult result = write_table("0,20,83,*\n0,0,0\n0,0,0\n0,0,0\n");
    ASSERT_EQ(result.status, 0) << result.err;
    for (int n = 2; n <= 4; n++) EXPECT_EQ(entry_hex(n), std::string(32, '0')) << n;
    dump = run({"-d", "-uC", image_});
    EXPECT_EQ(dump.out, "# partition table of " + image_ + "\nunit: sectors\n\n" + image_ +
                            "1 : start=        63, size=    321237, Id=83, bootable\n");

    // Fewer lines than entries: the rest are emptied too.
    ASSERT_EQ(write_table("0,5,83\n5,5,82\n").status, 0);
    ASSERT_EQ(write_table("0,10,b\n").status, 0);
    EXPECT_EQ(entry_hex(1),
              "00010100"
              "0bfe3f09"
              "3f000000"
              "4b730200");
    EXPECT_EQ(entry_hex(2), std::string(32, '0'));
}

TEST_F(SfdiskTest, DumpOfBlankDiskListsNothing) {
    make_image(4 * CYLINDER_BYTES);
    RunResult dump = run({"-d", "-uC", image_});
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(dump.out.find("/"), std::string::npos) << dump.out;
}

TEST_F(SfdiskTest, WithoutQuietPrintsTheNewTable) {
    make_image(4 * CYLINDER_BYTES);
    RunResult result = run({"-uC", image_}, "0,4,83,*\n");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(image_ + "1 : start=        63, size=     64197, Id=83, bootable"),
              std::string::npos)
        << result.out;
}

TEST_F(SfdiskTest, BadInputIsRefusedAndLeavesTheDiskAsItWas) {
    make_image(50 * CYLINDER_BYTES);
    ASSERT_EQ(write_table("0,10,83,*\n10,40,83\n").status, 0);
    std::string before = image_state(image_);
    const char* const bad_inputs[] = {
        "0,10\n",                                       // too few fields
        "0,10,83,*,x\n",                                // too many fields
        "zero,10,83\n",                                 // not a number
        "0,-1,83\n",                                    // negative size
        "0,10,83,+\n",                                  // bad flag
        "0,10,183\n",                                   // type beyond one byte
        "0,10,83\n\n",                                  // blank line
        "0,5,83\n5,5,83\n10,5,83\n15,5,83\n20,5,83\n",  // five lines
        "0,10,83\n5,10,83\n",                           // overlap
        "0,10,83\n0,20,83\n",                           // two partitions at cylinder 0
        "40,11,83\n",                                   // beyond the 50 cylinders
        "0,51,83\n",                                    // beyond the 50 cylinders
        "4294967295,1,83\n",                            // far beyond
        "0,99999999999,83\n",                           // number too long
        "0,10,0\n",                                     // type 0 with a size
        "5,0,83\n",                                     // size 0 with a type
    };
    for (const char* input : bad_inputs) {
        RunResult result = write_table(input);
        EXPECT_EQ(result.status, 1) << input;
        EXPECT_NE(result.err.find("brindlex-sfdisk: " + image_), std::string::npos)
            << input << result.err;
        EXPECT_NE(result.err.find("unchanged"), std::string::npos) << input << result.err;
        EXPECT_TRUE(image_state(image_) == before) << "disk written for: " << input;
    }
}

TEST_F(SfdiskTest, BadCommandLinesAreRefused) {
    make_image(4 * CYLINDER_BYTES);
    std::string before = image_state(image_);
    const std::vector<std::vector<std::string>> bad = {
        {"-x", "-uC", image_},
        {"-uS", image_},
        {"-q", "-uC"},
        {"-d", "-uC"},
        {"-g", "-d", image_},
        {"-q", "-uC", image_, image_},
        {"-q", "-uC", dir_ + "/missing.img"},
        {"-d", "-uC", dir_},
    };
    for (const std::vector<std::string>& args : bad) {
        RunResult result = run(args, "0,4,83\n");
        EXPECT_EQ(result.status, 1) << args[0];
        EXPECT_NE(result.err, "") << args[0];
        EXPECT_EQ(result.out, "") << args[0];
    }
    EXPECT_TRUE(image_state(image_) == before);
}

TEST_F(SfdiskTest, GeometryOfImageFiles) {
    make_image(400ull << 20);  // 400 MiB
    std::string small = image_;
    image_ = dir_ + "/big.img";
    make_image(9ull << 30);
    RunResult result = run({"-g", small, image_});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, small + ": 50 cylinders, 255 heads, 63 sectors/track\n" + image_ +
                              ": 1174 cylinders, 255 heads, 63 sectors/track\n");
}

}  // namespace
