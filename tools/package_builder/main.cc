// brindlex-pkg: makes a package file from a directory tree, lists the parts
// of a package, or checks one.
//
//   brindlex-pkg [build] --name NAME [--description TEXT] [--depends NAME]...
//                [--root-owner] [--alt-magic] --output FILE.vpk [TREE]
//   brindlex-pkg list FILE.vpk
//   brindlex-pkg verify FILE.vpk
#include <cstdio>
#include <cstring>
#include <string>

#include "package_builder.h"

namespace {

void usage() {
    fprintf(stderr,
            "usage: brindlex-pkg [build] --name NAME [--description TEXT] [--depends NAME]...\n"
            "                    [--root-owner] [--alt-magic] --output FILE.vpk [TREE]\n"
            "       brindlex-pkg list FILE.vpk\n"
            "       brindlex-pkg verify FILE.vpk\n");
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
    if (command == "-h" || command == "--help") {
        usage();
        return 0;
    }
    return run_build(argc, argv, command == "build" ? 2 : 1);
}
