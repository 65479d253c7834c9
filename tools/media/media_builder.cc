#include "media_builder.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "packages/package_catalogue.h"

namespace {

bool is_file(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0;
}

// Everything a function prints on standard output while it runs (the
// catalogue reports its refusals there, as the installer shows them).
std::string captured_output(bool (*body)(PackageList&, bool), PackageList& list, bool& result) {
    fflush(stdout);
    FILE* capture = tmpfile();
    int saved = dup(1);
    if (capture == nullptr || saved < 0) {
        if (capture) fclose(capture);
        if (saved >= 0) close(saved);
        result = body(list, false);
        return "";
    }
    dup2(fileno(capture), 1);
    result = body(list, false);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    rewind(capture);
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, capture)) > 0) text.append(buffer, n);
    fclose(capture);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string package_name(const char* name) {
    return std::string(name, strnlen(name, PACKAGE_NAME_LENGTH));
}

}  // namespace

bool find_boot_system(const std::string& directory, BootSystem& boot, std::string& error) {
    boot.kernel = directory + "/vmlinuz";
    boot.initrd = directory + "/initrd.gz";
    for (const std::string& path : {boot.kernel, boot.initrd}) {
        if (!is_file(path)) {
            error = "no boot system in " + directory + ": " + path +
                    " is missing or empty (make bootsys writes it)";
            return false;
        }
    }
    return true;
}

bool check_packages(const std::string& directory, PackageSet& packages, std::string& error) {
    packages = PackageSet();
    PackageList list;
    init_package_list(list, directory.c_str());
    bool scanned = false;
    std::string said = captured_output(scan_packages, list, scanned);
    if (!scanned) {
        error = "the installer would refuse the packages in " + directory + ": " + said;
        return false;
    }
    std::set<std::string> names;
    for (int i = 0; i < list.count; ++i) {
        const PackageInfo& package = list.entries[i];
        packages.files.push_back(strrchr(package.path, '/') + 1);
        names.insert(package_name(package.header.name));
    }
    for (int i = 0; i < list.count; ++i) {
        const PackageInfo& package = list.entries[i];
        for (int d = 0; d < package.dependency_count; ++d) {
            std::string needed = package_name(package.dependencies[d].name);
            if (names.count(needed) == 0) {
                packages.warnings.push_back("package " + package_name(package.header.name) +
                                            " depends on " + needed +
                                            ", which no package provides");
            }
        }
    }
    free_package_list(list);
    packages.has_defaults = is_file(directory + "/" + DEFAULTS_FILE_NAME);
    return true;
}

std::string boot_loader_config(const BootMenu& menu) {
    std::string words = menu.mode_words;
    if (!menu.extra_words.empty()) words += " " + menu.extra_words;
    // The options the test PC boots with too: a quiet kernel, and a panic
    // that waits instead of restarting.
    const std::string kernel_options = "quiet loglevel=0 panic=0";
    std::string text;
    // SERIAL must come first: the prompt then also works on the first
    // serial port, at the speed of the serial entry's console.
    text += "SERIAL 0 115200\n";
    // The prompt waits 5 seconds for an entry name (TAB lists them).
    text += "PROMPT 1\n";
    text += "TIMEOUT 50\n";
    text += std::string("DEFAULT ") + (menu.serial_default ? SERIAL_ENTRY : SCREEN_ENTRY) + "\n";
    text += std::string("LABEL ") + SCREEN_ENTRY + "\n";
    text += "  KERNEL " + menu.kernel + "\n";
    text += "  APPEND initrd=" + menu.initrd + " " + kernel_options + " " + words + "\n";
    text += std::string("LABEL ") + SERIAL_ENTRY + "\n";
    text += "  KERNEL " + menu.kernel + "\n";
    text += "  APPEND initrd=" + menu.initrd + " console=ttyS0,115200 " + kernel_options + " " +
            words + "\n";
    return text;
}

BootMenu medium_boot_menu(const char* mode_words, const MediaArguments& arguments) {
    BootMenu menu;
    menu.kernel = "/boot/vmlinuz";
    menu.initrd = "/boot/initrd.gz";
    menu.mode_words = mode_words;
    menu.extra_words = arguments.extra_words;
    menu.serial_default = arguments.serial_default;
    return menu;
}

bool run_tool(const std::vector<std::string>& argv, std::string& error) {
    FILE* errors = tmpfile();
    if (errors == nullptr) {
        error = std::string("cannot make a temporary file: ") + strerror(errno);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        error = std::string("cannot start ") + argv[0] + ": " + strerror(errno);
        fclose(errors);
        return false;
    }
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(fileno(errors), 2);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        fprintf(stderr, "cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::string said;
    rewind(errors);
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, errors)) > 0) said.append(buffer, n);
    fclose(errors);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    while (!said.empty() && said.back() == '\n') said.pop_back();
    error = argv[0] + " failed" + (said.empty() ? std::string() : ": " + said);
    return false;
}

bool require_file(const std::string& path, const std::string& debian_package, std::string& error) {
    if (is_file(path)) return true;
    error = path + " is missing (it comes with Debian's " + debian_package + " package)";
    return false;
}

void begin_output(PendingOutput& output, const std::string& path) {
    output.path = path;
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    output.temp_path = folder + "." + name + ".partial-" + std::to_string(getpid());
    output.committed = false;
    remove_tree(output.temp_path);
}

bool commit_output(PendingOutput& output, std::string& error) {
    if (rename(output.temp_path.c_str(), output.path.c_str()) != 0) {
        error = "cannot write " + output.path + ": " + strerror(errno);
        discard_output(output);
        return false;
    }
    output.committed = true;
    return true;
}

void discard_output(PendingOutput& output) {
    if (!output.committed && !output.temp_path.empty()) remove_tree(output.temp_path);
}

PendingOutput::~PendingOutput() {
    discard_output(*this);
}

ScratchDirectory::ScratchDirectory() {
    char name[] = "/tmp/brindlex-media-XXXXXX";
    if (mkdtemp(name) != nullptr) path = name;
}

ScratchDirectory::~ScratchDirectory() {
    if (!path.empty()) remove_tree(path);
}

void remove_tree(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return;
    if (!S_ISDIR(status.st_mode)) {
        unlink(path.c_str());
        return;
    }
    nftw(
        path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
}

bool copy_file(const std::string& from, const std::string& to, std::string& error) {
    FILE* in = fopen(from.c_str(), "rb");
    if (in == nullptr) {
        error = "cannot read " + from + ": " + strerror(errno);
        return false;
    }
    FILE* out = fopen(to.c_str(), "wb");
    if (out == nullptr) {
        error = "cannot write " + to + ": " + strerror(errno);
        fclose(in);
        return false;
    }
    char buffer[65536];
    size_t n;
    bool ok = true;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) {
        if (fwrite(buffer, 1, n, out) != n) ok = false;
    }
    if (ferror(in)) ok = false;
    fclose(in);
    if (fclose(out) != 0) ok = false;
    if (!ok) error = "cannot copy " + from + " to " + to;
    return ok;
}

bool write_text_file(const std::string& path, const std::string& text, std::string& error) {
    FILE* out = fopen(path.c_str(), "w");
    bool ok = out != nullptr && fwrite(text.data(), 1, text.size(), out) == text.size();
    if (out != nullptr && fclose(out) != 0) ok = false;
    if (!ok) error = "cannot write " + path + ": " + strerror(errno);
    return ok;
}

const char* boot_only_mode_words(const std::string& mode) {
    if (mode == "floppy") return FLOPPY_MODE_WORDS;
    if (mode == "net") return NET_MODE_WORDS;
    return nullptr;
}

const char* const BOOT_ONLY_HELP =
    "  --boot-only MODE  a boot medium with the boot system alone, no packages, for\n"
    "                  the floppy set (MODE floppy: the data floppies are read from\n"
    "                  the drive) or the network installation (MODE net)\n";

int parse_media_option(int argc, char** argv, int i, MediaArguments& arguments) {
    std::string word = argv[i];
    if (word == "--boot-only") {
        if (i + 1 >= argc) return -1;
        arguments.boot_only = argv[i + 1];
        return 2;
    }
    if (word == "--serial") {
        arguments.serial_default = true;
        return 1;
    }
    if (word == "--append") {
        if (i + 1 >= argc) return -1;
        if (!arguments.extra_words.empty()) arguments.extra_words += " ";
        arguments.extra_words += argv[i + 1];
        return 2;
    }
    return 0;
}

const char* const MEDIA_OPTIONS_HELP =
    "  --serial        boot the serial-console entry (ttyS0, 115200 baud) when\n"
    "                  nobody types at the boot prompt; otherwise the screen entry\n"
    "  --append WORDS  more kernel command line words for both entries\n"
    "  -h, --help      print this help and exit\n"
    "  --version       print the version and exit\n";

int media_usage(const char* name, const std::string& help, const std::string& problem) {
    fprintf(stderr, "%s: %s\n", name, problem.c_str());
    fputs(help.c_str(), stderr);
    return 2;
}

int read_media_command_line(int argc, char** argv, const char* name, const std::string& help,
                            MediaArguments& arguments, std::vector<std::string>& positional) {
    for (int i = 1; i < argc; ++i) {
        int taken = parse_media_option(argc, argv, i, arguments);
        if (taken < 0) return media_usage(name, help, std::string(argv[i]) + " needs a value");
        if (taken > 0) {
            i += taken - 1;
            continue;
        }
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            fputs(help.c_str(), stdout);
            return 0;
        }
        if (word.size() > 1 && word[0] == '-') {
            return media_usage(name, help, "unknown option " + word);
        }
        positional.push_back(word);
    }
    return -1;
}

bool take_media_paths(const std::vector<std::string>& words, std::string& packages,
                      std::string& bootsys, std::string& output) {
    if (words.empty()) return false;
    packages = words.front();
    return take_boot_paths(std::vector<std::string>(words.begin() + 1, words.end()), bootsys,
                           output);
}

bool take_boot_paths(const std::vector<std::string>& words, std::string& bootsys,
                     std::string& output) {
    if (words.size() != 1 && words.size() != 2) return false;
    bootsys = words.size() == 2 ? words.front() : INSTALLED_BOOT_SYSTEM;
    output = words.back();
    return true;
}
