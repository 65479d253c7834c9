// brindlex-unpack [-q] -r ROOT -
// brindlex-unpack -l -r ROOT
//
// The first form installs the packages read from standard input, back to
// back until the end of input, below ROOT (unpack_stream.h); on the boot
// system this is /sbin/installer. The input is always read to its end; the
// exit status is 0 only when everything went in. -q leaves out the summary
// line of each package.
//
// The second form lists the packages installed below ROOT, from their
// records (package_record.h).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "new_files.h"
#include "package_record.h"
#include "standard_options.h"
#include "unpack_input.h"
#include "unpack_stream.h"

namespace {

constexpr size_t INPUT_BUFFER = 1 << 20;

// What --help prints and usage errors show; the manual page is made from it.
const char* const HELP =
    "Usage: brindlex-unpack [-q] -r ROOT -\n"
    "  or:  brindlex-unpack -l -r ROOT\n"
    "Installs the Brindlex Router Software packages read from standard input, back\n"
    "to back until its end, below the directory ROOT, and keeps a record of each in\n"
    "ROOT/var/pdb; or lists the packages installed below ROOT from those records.\n"
    "Every path is walked from ROOT: no absolute path, no \"..\", never through a\n"
    "symbolic link; files appear whole or not at all. Owners are set when it runs\n"
    "as root. Each package is written out to the disk before its summary line.\n"
    "The input is always read to its end.\n"
    "\n"
    "Options:\n"
    "  -r ROOT      the root directory to install below or to list\n"
    "  -            read the packages from standard input\n"
    "  -q           leave out the summary line of each package\n"
    "  -l           list the installed packages\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0   every package went in (or the list was printed)\n"
    "  1   the input held no package, or something was refused, damaged or not\n"
    "      written; the root could not be opened\n"
    "  2   bad arguments\n";

void usage() {
    fputs(HELP, stderr);
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = answer_standard_option(argc, argv, "brindlex-unpack", HELP); status >= 0)
        return status;
    Unpacker u;
    const char* root = nullptr;
    bool from_stdin = false;
    bool list = false;
    bool usage_ok = true;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-q") == 0) {
            u.quiet = true;
        } else if (strcmp(argv[i], "-l") == 0) {
            list = true;
        } else if (strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else if (strcmp(argv[i], "-") == 0) {
            from_stdin = true;
        } else {
            usage_ok = false;
        }
    }
    UnpackInput in;
    input_init(in, 0, INPUT_BUFFER);
    if (list) {
        if (!usage_ok || root == nullptr || from_stdin || u.quiet) {
            usage();
            return 2;
        }
    } else if (!usage_ok || root == nullptr || !from_stdin) {
        usage();
        if (!isatty(0)) input_skip(in, UINT64_MAX);
        return 2;
    }
    u.root_fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (u.root_fd < 0) {
        fprintf(stderr, "brindlex-unpack: cannot open the root directory %s: %s\n", root,
                strerror(errno));
        if (!list) input_skip(in, UINT64_MAX);
        return 1;
    }
    if (list) {
        std::string why;
        bool listed = list_records(u.root_fd, stdout, &why);
        if (!listed) fprintf(stderr, "brindlex-unpack: cannot read the records: %s\n", why.c_str());
        close(u.root_fd);
        return listed && fflush(stdout) == 0 ? 0 : 1;
    }
    u.as_root = geteuid() == 0;
    u.write_out = true;
    // A console that has gone away must not end the run: the input is read
    // to its end whatever happens to the messages.
    signal(SIGPIPE, SIG_IGN);
    install_cleanup_on_signals();
    // A larger pipe means fewer, longer reads; a file or a refusal is fine.
    fcntl(0, F_SETPIPE_SZ, 1 << 20);
    umask(0);
    bool ok = unpack_stream(u, in);
    close(u.root_fd);
    return ok ? 0 : 1;
}
