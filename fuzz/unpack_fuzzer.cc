// The package unpacker's input stream, installed into a fresh root for
// every input. The root lies in a scratch directory beside a directory
// "outside" with a file in it, and starts with three links that lead out
// of it. After each input:
//   - nothing outside the root was made, changed or removed;
//   - nothing below the root got there through a link: every path below
//     it is one the input names (or the record directory and its records);
//   - no temporary file is left behind;
//   - every line the unpacker printed is plain printable text.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "unpack_input.h"
#include "unpack_stream.h"

namespace {

std::string scratch, root, outside;
std::string outside_before;  // what the scratch directory held, outside the root

std::string read_all(const std::string& path) {
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) text.append(block, n);
    fclose(f);
    return text;
}

// Everything below the scratch directory except the root: names, kinds,
// modes, sizes, times and contents (the outside is small).
std::string describe_outside() {
    std::string text;
    struct Walk {
        static void dir(const std::string& path, std::string* out) {
            DIR* d = opendir(path.c_str());
            if (d == nullptr) return;
            while (struct dirent* e = readdir(d)) {
                std::string name = e->d_name;
                std::string full = path + "/" + name;
                if (name == "." || name == ".." || full == root) continue;
                struct stat st;
                if (lstat(full.c_str(), &st) != 0) continue;
                *out += full + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_size) +
                        " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_uid) + "\n";
                if (S_ISREG(st.st_mode)) *out += read_all(full) + "\n";
                if (S_ISDIR(st.st_mode)) dir(full, out);
            }
            closedir(d);
        }
    };
    Walk::dir(scratch, &text);
    return text;
}

// Every path below the root must be one the input names, the record
// directory, a record, or one of the links placed at the start.
void check_path(const std::string& rel, const uint8_t* data, size_t size) {
    if (rel == "var" || rel == "var/pdb" || rel.compare(0, 8, "var/pdb/") == 0) return;
    if (rel == "up" || rel == "abs" || rel == "up-file") return;
    check(memmem(data, size, rel.data(), rel.size()) != nullptr);
}

// Checks and removes everything in the directory dir (rel below the root),
// by descriptors: paths below the root may be longer than PATH_MAX.
void check_and_clear(int dir, const std::string& rel, const uint8_t* data, size_t size) {
    DIR* listing = fdopendir(dup(dir));
    check(listing != nullptr);
    std::vector<std::string> names;
    while (struct dirent* e = readdir(listing))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(listing);
    for (const std::string& name : names) {
        std::string path = rel.empty() ? name : rel + "/" + name;
        check_path(path, data, size);
        struct stat st;
        check(fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0);
        if (S_ISDIR(st.st_mode)) {
            int sub = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            check(sub >= 0);
            check_and_clear(sub, path, data, size);
            close(sub);
        }
        check(unlinkat(dir, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0);
    }
}

void check_printable(const char* text, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        check(c == '\n' || (c >= 0x20 && c < 0x7F));
    }
    check(size == 0 || text[size - 1] == '\n');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    scratch = make_scratch("unpack");
    root = scratch + "/root";
    outside = scratch + "/outside";
    check(mkdir(outside.c_str(), 0755) == 0);
    FILE* f = fopen((outside + "/file").c_str(), "wb");
    check(f != nullptr);
    fputs("outside the root\n", f);
    fclose(f);
    outside_before = describe_outside();
    atexit([] {
        unlink((outside + "/file").c_str());
        rmdir(outside.c_str());
        rmdir(scratch.c_str());
    });
    umask(0);
    // A tree as deep as a path allows holds a descriptor per level while
    // it is checked.
    struct rlimit files = {4096, 4096};
    setrlimit(RLIMIT_NOFILE, &files);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check(mkdir(root.c_str(), 0755) == 0);
    check(symlink("../outside", (root + "/up").c_str()) == 0);
    check(symlink(outside.c_str(), (root + "/abs").c_str()) == 0);
    check(symlink("../outside/file", (root + "/up-file").c_str()) == 0);

    int input = memfd_create("fuzz-unpack-input", MFD_CLOEXEC);
    check(input >= 0);
    check(size == 0 || write(input, data, size) == ssize_t(size));
    check(lseek(input, 0, SEEK_SET) == 0);
    char *out_text = nullptr, *err_text = nullptr;
    size_t out_size = 0, err_size = 0;
    Unpacker u;
    u.root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(u.root_fd >= 0);
    u.as_root = geteuid() == 0;
    u.out = open_memstream(&out_text, &out_size);
    u.err = open_memstream(&err_text, &err_size);
    UnpackInput in;
    // A small buffer: parts and entries cross its refills.
    input_init(in, input, 1000);
    unpack_stream(u, in);
    fclose(u.out);
    fclose(u.err);
    close(u.root_fd);
    close(input);

    check_printable(out_text, out_size);
    check_printable(err_text, err_size);
    free(out_text);
    free(err_text);
    check(describe_outside() == outside_before);
    int root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(root_fd >= 0);
    check_and_clear(root_fd, "", data, size);
    close(root_fd);
    check(rmdir(root.c_str()) == 0);
    return 0;
}
