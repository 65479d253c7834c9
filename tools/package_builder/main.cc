// brindlex-pkg: makes a package file from a directory tree, lists the parts
// of a package, or checks one (see HELP).
#include <cstdio>
#include <cstring>
#include <string>

#include "package_builder.h"
#include "standard_options.h"

namespace {

// What --help prints and usage errors show; the manual page is made from it.
const char* const HELP =
    "Usage: brindlex-pkg [build] --name NAME [OPTION]... --output FILE.vpk [TREE]\n"
    "  or:  brindlex-pkg list FILE.vpk\n"
    "  or:  brindlex-pkg verify FILE.vpk\n"
    "Makes a package file (.vpk) of the Brindlex Router Software from the directory\n"
    "tree TREE (without TREE, a package with no files), lists the parts of a\n"
    "package, one a line, or checks a whole package.\n"
    "\n"
    "Options:\n"
    "  -n, --name NAME         the package's name (1 to 16 bytes), as the menu shows it\n"
    "  -d, --description TEXT  the one-line description the menu shows\n"
    "  -D, --depends NAME      a package this one needs; repeat it for more\n"
    "  -o, --output FILE.vpk   the package file to write; it appears whole or not at all\n"
    "      --root-owner        record every file as owned by root (0:0)\n"
    "      --alt-magic         write the second of the two magic numbers\n"
    "  -h, --help              print this help and exit\n"
    "      --version           print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0   done; verify: the package is sound\n"
    "  1   the package could not be written or read, or is damaged\n"
    "  2   bad arguments\n";

void usage() {
    fputs(HELP, stderr);
}

int run_build(int argc, char** argv, int first) {
    PackageSource source;
    std::string output;
    bool have_name = false;
    bool have_tree = false;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* option) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "brindlex-pkg: %s needs a value\n", option);
                return nullptr;
            }
            return argv[++i];
        };
        const char* v = nullptr;
        if (arg == "--name" || arg == "-n") {
            if ((v = value("--name")) == nullptr) return 2;
            source.name = v;
            have_name = true;
        } else if (arg == "--description" || arg == "-d") {
            if ((v = value("--description")) == nullptr) return 2;
            source.description = v;
        } else if (arg == "--depends" || arg == "-D") {
            if ((v = value("--depends")) == nullptr) return 2;
            source.depends.push_back(v);
        } else if (arg == "--output" || arg == "-o") {
            if ((v = value("--output")) == nullptr) return 2;
            output = v;
        } else if (arg == "--root-owner") {
            source.root_owner = true;
        } else if (arg == "--alt-magic") {
            source.alt_magic = true;
        } else if (!arg.empty() && arg[0] == '-') {
            fprintf(stderr, "brindlex-pkg: unknown option %s\n", arg.c_str());
            usage();
            return 2;
        } else if (have_tree) {
            fprintf(stderr, "brindlex-pkg: more than one directory given (%s)\n", arg.c_str());
            return 2;
        } else {
            source.tree = arg;
            have_tree = true;
        }
    }
    if (!have_name || output.empty()) {
        fprintf(stderr, "brindlex-pkg: --name and --output are required\n");
        usage();
        return 2;
    }
    std::string error;
    if (!build_package(source, output, &error)) {
        fprintf(stderr, "brindlex-pkg: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = answer_standard_option(argc, argv, "brindlex-pkg", HELP); status >= 0)
        return status;
    if (argc < 2) {
        usage();
        return 2;
    }
    std::string command = argv[1];
    if (command == "list" || command == "--list" || command == "verify" || command == "--verify") {
        if (argc != 3) {
            usage();
            return 2;
        }
        std::string error;
        bool listing = command == "list" || command == "--list";
        bool ok = listing ? list_package(argv[2], stdout, &error) : verify_package(argv[2], &error);
        if (!ok) {
            fprintf(stderr, "brindlex-pkg: %s\n", error.c_str());
            return 1;
        }
        if (!listing) printf("%s: package is sound\n", argv[2]);
        return 0;
    }
    return run_build(argc, argv, command == "build" ? 2 : 1);
}
