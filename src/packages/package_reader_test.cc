#include "packages/package_reader.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ext/stdio_filebuf.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

void put_le(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += char((v >> (8 * i)) & 0xFF);
}

// A package file held in memory, part by part.
struct TestPackage {
    std::string bytes;
    explicit TestPackage(uint32_t magic = PACKAGE_MAGIC) {
        put_le(bytes, magic, 4), put_le(bytes, 0, 4);
    }
    TestPackage& part(int type, const std::string& data) {
        put_le(bytes, uint32_t(type), 2);
        put_le(bytes, uint32_t(data.size()), 4);
        bytes += data;
        return *this;
    }
};

// A source that cannot seek and records the size of every bulk read.
class UnseekableSource : public std::streambuf {
  public:
    explicit UnseekableSource(std::string data) : data_(std::move(data)) {}
    std::vector<std::streamsize> requests;

  protected:
    std::streamsize xsgetn(char* s, std::streamsize n) override {
        requests.push_back(n);
        std::streamsize take = std::min<std::streamsize>(n, std::streamsize(data_.size() - pos_));
        data_.copy(s, size_t(take), pos_);
        pos_ += size_t(take);
        return take;
    }
    int_type underflow() override {
        return pos_ < data_.size() ? traits_type::to_int_type(data_[pos_]) : traits_type::eof();
    }
    int_type uflow() override {
        return pos_ < data_.size() ? traits_type::to_int_type(data_[pos_++]) : traits_type::eof();
    }

  private:
    std::string data_;
    size_t pos_ = 0;
};

std::string read_part(PackageReader& reader) {
    std::string data(reader.part_length(), '\0');
    reader.read(&data[0], std::streamsize(data.size()));
    return reader ? data : "<read failed>";
}

TEST(PackageReader, HeaderOnlyFileHasNoParts) {
    std::istringstream file(TestPackage().bytes);
    PackageReader reader(file);
    reader.add_wanted_type(1);
    EXPECT_EQ(PACKAGE_MAGIC, reader.magic());
    EXPECT_EQ(8u, reader.declared_size());
    EXPECT_EQ(-1, reader.next_part());
    EXPECT_EQ(-1, reader.current_type());
    EXPECT_TRUE(reader.eof());
}

TEST(PackageReader, BothMagicsReadAlikeAndOthersAreRefused) {
    for (uint32_t magic : {PACKAGE_MAGIC, PACKAGE_MAGIC_ALT}) {
        std::istringstream file(TestPackage(magic).part(1, "ident").bytes);
        PackageReader reader(file);
        reader.add_wanted_type(1);
        EXPECT_EQ(magic, reader.magic());
        EXPECT_EQ(1, reader.next_part());
        EXPECT_EQ("ident", read_part(reader));
    }
    std::istringstream wrong(TestPackage(0x12345678).part(1, "ident").bytes);
    PackageReader bad_magic(wrong);
    bad_magic.add_wanted_type(1);
    EXPECT_TRUE(bad_magic.bad());
    EXPECT_EQ(-1, bad_magic.next_part());

    std::istringstream short_file(std::string("\x1e\xf1\xd0", 3));
    PackageReader short_header(short_file);
    EXPECT_EQ(PACKAGE_MAGIC_NONE, short_header.magic());
    EXPECT_EQ(-1, short_header.next_part());
}

TEST(PackageReader, ZeroLengthPartAndHighestType) {
    std::istringstream file(TestPackage().part(2, "").part(65535, "last").bytes);
    PackageReader reader(file);
    reader.add_wanted_type(2);
    reader.add_wanted_type(65535);
    ASSERT_EQ(2, reader.next_part());
    EXPECT_EQ(0u, reader.part_length());
    char c;
    EXPECT_EQ(PartStreamBuffer::traits_type::eof(), reader.peek());
    reader.clear();
    reader.read(&c, 1);
    EXPECT_EQ(0, reader.gcount());
    EXPECT_TRUE(reader.fail());
    // A failed read ends the walk even though a part follows.
    EXPECT_EQ(-1, reader.next_part());
}

TEST(PackageReader, Type65535IsNotTheEndMarker) {
    std::istringstream file(TestPackage().part(65535, "x").bytes);
    PackageReader reader(file);
    reader.add_wanted_type(65535);
    EXPECT_EQ(65535, reader.next_part());
    EXPECT_EQ(65535, reader.current_type());
    EXPECT_EQ("x", read_part(reader));
    EXPECT_EQ(-1, reader.next_part());
}

TEST(PackageReader, EmptyWantedListWalksToTheEnd) {
    std::istringstream file(TestPackage().part(1, "a").part(2, "b").bytes);
    PackageReader reader(file);
    EXPECT_EQ(-1, reader.next_part());
    EXPECT_TRUE(reader.eof());
    EXPECT_EQ(-1, reader.next_part());
}

TEST(PackageReader, ReadsNeverGoPastThePart) {
    std::istringstream file(TestPackage().part(1, "abc").part(2, "def").bytes);
    PackageReader reader(file);
    reader.add_wanted_type(1);
    reader.add_wanted_type(2);
    ASSERT_EQ(1, reader.next_part());
    char buf[8] = {};
    reader.read(buf, 8);
    EXPECT_EQ(3, reader.gcount());
    EXPECT_EQ("abc", std::string(buf, 3));
    EXPECT_TRUE(reader.eof() && reader.fail());
    EXPECT_EQ(-1, reader.next_part());
}

TEST(PackageReader, NextPartMidPartContinuesAfterThatPart) {
    std::istringstream file(TestPackage().part(1, "0123456789").part(3, "deps").bytes);
    PackageReader reader(file);
    reader.add_wanted_type(1);
    reader.add_wanted_type(3);
    ASSERT_EQ(1, reader.next_part());
    char buf[4];
    reader.read(buf, 4);
    EXPECT_EQ('4', reader.get());
    reader.unget();
    EXPECT_EQ('4', reader.peek());
    EXPECT_EQ(3, reader.next_part());
    EXPECT_EQ("deps", read_part(reader));
}

TEST(PackageReader, SeeksStayInsideThePart) {
    std::istringstream file(TestPackage().part(9, "skip").part(1, "0123456789").bytes);
    PackageReader reader(file);
    reader.add_wanted_type(1);
    ASSERT_EQ(1, reader.next_part());
    reader.seekg(6);
    EXPECT_EQ('6', reader.get());
    reader.seekg(-3, std::ios_base::cur);
    EXPECT_EQ('4', reader.get());
    EXPECT_EQ(5, reader.tellg());
    reader.seekg(-1, std::ios_base::end);
    EXPECT_EQ('9', reader.get());
    reader.seekg(11);
    EXPECT_TRUE(reader.fail());
    reader.clear();
    reader.seekg(-20, std::ios_base::cur);
    EXPECT_TRUE(reader.fail());
}

TEST(PackageReader, UnwantedLargePartsOnAnUnseekableSourceGoIn4096ByteChunks) {
    std::string large(100000, 'L');
    UnseekableSource source(TestPackage().part(1, "id").part(50, large).part(2, "desc").bytes);
    std::istream file(&source);
    PackageReader reader(file);
    reader.add_wanted_type(1);
    reader.add_wanted_type(2);
    ASSERT_EQ(1, reader.next_part());
    EXPECT_EQ(2, reader.next_part());
    EXPECT_EQ("desc", read_part(reader));
    std::streamsize largest = *std::max_element(source.requests.begin(), source.requests.end());
    EXPECT_EQ(4096, largest);
}

TEST(PackageReader, FileEndingInsideAPassedOverPartIsTheEnd) {
    std::string bytes = TestPackage().part(7, std::string(5000, 'x')).part(1, "id").bytes;
    bytes.resize(bytes.size() - 2000 - 12);
    UnseekableSource source(bytes);
    std::istream piped(&source);
    PackageReader reader(piped);
    reader.add_wanted_type(1);
    EXPECT_EQ(-1, reader.next_part());
    EXPECT_TRUE(reader.eof());
}

TEST(PackageReader, LargePackageOnARealPipeAndOnAFile) {
    std::string large(3 << 20, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = char(i * 7);
    std::string bytes = TestPackage()
                            .part(1, "id")
                            .part(17, large)
                            .part(2, "desc")
                            .part(18, large)
                            .part(3, "d")
                            .bytes;

    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fds[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0) _exit(1);
            done += size_t(n);
        }
        _exit(0);
    }
    close(fds[1]);
    {
        __gnu_cxx::stdio_filebuf<char> pipe_buffer(fds[0], std::ios_base::in);
        std::istream piped(&pipe_buffer);
        PackageReader reader(piped);
        for (int t : {1, 2, 3}) reader.add_wanted_type(t);
        EXPECT_EQ(1, reader.next_part());
        EXPECT_EQ(2, reader.next_part());
        EXPECT_EQ("desc", read_part(reader));
        EXPECT_EQ(3, reader.next_part());
        EXPECT_EQ("d", read_part(reader));
        EXPECT_EQ(-1, reader.next_part());
    }
    int status = 0;
    waitpid(child, &status, 0);

    char path[] = "/tmp/package-reader.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ssize_t(bytes.size()), write(fd, bytes.data(), bytes.size()));
    close(fd);
    std::ifstream file(path, std::ios::binary);
    PackageReader reader(file);
    reader.add_wanted_type(18);
    EXPECT_EQ(18, reader.next_part());
    EXPECT_EQ(large, read_part(reader));
    EXPECT_EQ(-1, reader.next_part());
    unlink(path);
}

}  // namespace
