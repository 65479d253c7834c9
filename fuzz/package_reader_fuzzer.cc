// The package stream over bytes a medium hands the installer. The first
// four bytes choose how the parts are read; the rest is the package file.
// Whatever the bytes, the reader must hand out exactly the bytes of each
// part it stops at, never a byte of the next one, over a source that can
// seek and over one that cannot; a short read ends the walk.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "packages/package_reader.h"

namespace {

// A source that cannot seek, like a pipe.
class ForwardOnlyBuffer : public std::streambuf {
  public:
    ForwardOnlyBuffer(const char* data, size_t size) {
        char* begin = const_cast<char*>(data);
        setg(begin, begin, begin + size);
    }
};

// One part as the bytes lay it out.
struct Part {
    size_t data;  // offset of its first data byte
    int type;
    uint32_t length;
};

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Reads the parts the way the choice bytes say and checks every byte.
void walk(std::istream& source, bool seekable, const uint8_t* file, size_t size,
          const uint8_t* choice) {
    PackageReader reader(source);
    uint32_t magic = size >= 8 ? le32(file) : PACKAGE_MAGIC_NONE;
    check(reader.magic() == magic);
    bool usable = magic == PACKAGE_MAGIC || magic == PACKAGE_MAGIC_ALT;
    const int types[] = {1, 2, 3, 16, 17, 18, 32, 65535};
    for (int i = 0; i < 8; ++i)
        if (choice[0] & (1 << i)) reader.add_wanted_type(types[i]);
    // The parts, as the bytes lay them out.
    std::vector<Part> parts;
    for (size_t at = 8; usable && at + 6 <= size;) {
        parts.push_back(Part{at + 6, file[at] | file[at + 1] << 8, le32(file + at + 2)});
        at += 6 + size_t(parts.back().length);
    }
    std::vector<char> buffer;
    size_t next = 0;  // index of the first part after the current one
    for (int round = 0; round < 1 + choice[3]; ++round) {
        int type = reader.next_part();
        // Where the walk must stop: the next wanted part whose header is
        // whole, when the current part and every part before that one can
        // be passed over (their data is whole).
        bool passable = next == 0 || parts[next - 1].data + parts[next - 1].length <= size;
        size_t found = parts.size();
        for (size_t i = next; usable && passable && i < parts.size(); ++i) {
            bool wanted = false;
            for (int t = 0; t < 8; ++t)
                wanted = wanted || ((choice[0] & (1 << t)) && types[t] == parts[i].type);
            if (wanted) {
                found = i;
                break;
            }
            if (parts[i].data + parts[i].length > size) break;
        }
        check(type == (found < parts.size() ? parts[found].type : -1));
        if (type < 0) return;
        const Part& p = parts[found];
        next = found + 1;
        check(reader.part_length() == p.length);
        size_t n;
        switch (choice[1] % 5) {
            case 0:
                n = 0;
                break;
            case 1:
                n = 1;
                break;
            case 2:
                n = p.length / 2;
                break;
            case 3:
                n = p.length;
                break;
            default:
                n = size_t(p.length) + 1;
                break;
        }
        size_t there = std::min<size_t>(p.length, size - p.data);  // bytes really present
        n = std::min(n, there + 1);  // asking for more ends just the same
        size_t from = 0;
        if ((choice[2] & 2) && there == p.length) {
            // Forward within the part first: by seeking or by reading.
            from = p.length / 2;
            reader.seekg(std::streamoff(from));
            check(bool(reader));
            check(reader.tellg() == std::streampos(std::streamoff(from)));
            n = std::min(n, p.length - from);
        }
        buffer.assign(n + 1, 0);
        reader.read(buffer.data(), std::streamsize(n));
        size_t expected = std::min(n, there - std::min(there, from));
        check(size_t(reader.gcount()) == expected);
        check(memcmp(buffer.data(), file + p.data + from, expected) == 0);
        if (expected < n) {
            // A short read: nothing more comes.
            check(reader.next_part() == -1);
            return;
        }
        if (seekable && (choice[2] & 4) && expected > 0) {
            // Back to the part's start and all of it again.
            reader.seekg(0);
            check(bool(reader));
            size_t whole = there;
            buffer.assign(whole + 1, 0);
            reader.read(buffer.data(), std::streamsize(whole));
            check(size_t(reader.gcount()) == whole);
            check(memcmp(buffer.data(), file + p.data, whole) == 0);
            if (whole < p.length && whole == there) {
                check(reader.next_part() == -1);
                return;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t* choice = data;
    const uint8_t* file = data + 4;
    size_t file_size = size - 4;
    std::string bytes(reinterpret_cast<const char*>(file), file_size);
    if (choice[2] & 1) {
        std::istringstream seekable(bytes);
        walk(seekable, true, file, file_size, choice);
    } else {
        ForwardOnlyBuffer buffer(bytes.data(), bytes.size());
        std::istream forward_only(&buffer);
        walk(forward_only, false, file, file_size, choice);
    }
    return 0;
}
