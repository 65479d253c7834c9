// What the installation media builders share: the checks of their inputs,
// the boot loader's configuration, running the image tools, and writing the
// image under a temporary name so that no half-written image is ever left
// under the name asked for.
#pragma once

#include <string>
#include <vector>

// The boot system every medium carries: the kernel and its initial RAM disk.
struct BootSystem {
    std::string kernel;  // path of vmlinuz
    std::string initrd;  // path of initrd.gz
};

// The boot system installed with the tools (PREFIX/lib/brindlex), which the
// builders take when no BOOTSYS is given.
extern const char* const INSTALLED_BOOT_SYSTEM;

// Finds vmlinuz and initrd.gz in directory (as `make bootsys` writes them).
bool find_boot_system(const std::string& directory, BootSystem& boot, std::string& error);

// The installation material of a package directory, as the installer's
// catalogue will see it.
struct PackageSet {
    std::vector<std::string> files;     // file names of the packages (*.vpk)
    std::vector<std::string> warnings;  // dependencies no package provides
    bool has_defaults = false;          // the directory holds a "defpacks" file
};

// Reads every package of directory with the installer's own catalogue and
// refuses what the installer would refuse: no package at all, or a package
// it cannot read (error then holds the installer's message).
bool check_packages(const std::string& directory, PackageSet& packages, std::string& error);

// The command-line options the builders take.
struct MediaArguments {
    bool serial_default = false;  // --serial
    std::string extra_words;      // --append WORDS
    std::string boot_only;        // --boot-only MODE (CD and disk image), or empty
};

// The kernel words of the network installation: /TYPE holds "net".
constexpr const char* NET_MODE_WORDS = "brindlex.type=net%0A";
// The kernel words of the floppy set: /TYPE holds "floppy" (any /TYPE but
// "cdrom" and "net" is the floppy set).
constexpr const char* FLOPPY_MODE_WORDS = "brindlex.type=floppy%0A";

// The kernel words of a boot medium that carries only the boot system
// (--boot-only floppy|net), or null for another mode name.
const char* boot_only_mode_words(const std::string& mode);

// The help text's line of --boot-only.
extern const char* const BOOT_ONLY_HELP;

// The boot menu of a medium (isolinux.cfg or syslinux.cfg): an entry that
// keeps the screen as the console and one for the first serial port, both
// with the kernel words that start the installer's mode.
struct BootMenu {
    std::string kernel;           // the kernel's path on the medium
    std::string initrd;           // the initial RAM disk's path on the medium
    std::string mode_words;       // e.g. "brindlex.type=cdrom%0A"
    std::string extra_words;      // given by the media maker; may be empty
    bool serial_default = false;  // the serial entry boots when nobody types
};

// Entry names of the boot menu.
constexpr const char* SCREEN_ENTRY = "install";
constexpr const char* SERIAL_ENTRY = "serial";

std::string boot_loader_config(const BootMenu& menu);

// The boot menu of a medium that carries the boot system as /boot/vmlinuz
// and /boot/initrd.gz, starting the installer's mode with mode_words.
BootMenu medium_boot_menu(const char* mode_words, const MediaArguments& arguments);

// Runs argv[0] (found on PATH) with its output sent to /dev/null. False with
// the program's error output (or why it could not run) in error.
bool run_tool(const std::vector<std::string>& argv, std::string& error);

// Fails with a hint at the Debian package when path is not there.
bool require_file(const std::string& path, const std::string& debian_package, std::string& error);

// The image (or folder) being written: under temp_path until commit_output
// renames it to path; discard_output (also on destruction, unless
// committed) removes it, a folder with everything in it.
struct PendingOutput {
    std::string path;       // the name asked for
    std::string temp_path;  // a hidden name beside it
    bool committed = false;
    ~PendingOutput();
};

void begin_output(PendingOutput& output, const std::string& path);
bool commit_output(PendingOutput& output, std::string& error);
void discard_output(PendingOutput& output);

// A scratch directory removed with its contents on destruction.
struct ScratchDirectory {
    std::string path;  // empty when it could not be made
    ScratchDirectory();
    ~ScratchDirectory();
};

// Removes path: a file, or a folder with everything below it.
void remove_tree(const std::string& path);

bool copy_file(const std::string& from, const std::string& to, std::string& error);
bool write_text_file(const std::string& path, const std::string& text, std::string& error);

// The builders' last arguments, PACKAGES [BOOTSYS] OUTPUT (BOOTSYS by
// default the installed boot system). False unless there are two or three.
bool take_media_paths(const std::vector<std::string>& words, std::string& packages,
                      std::string& bootsys, std::string& output);

// The last arguments of a builder without packages, [BOOTSYS] OUTPUT (BOOTSYS
// by default the installed boot system). False unless there are one or two.
bool take_boot_paths(const std::vector<std::string>& words, std::string& bootsys,
                     std::string& output);

// Takes a shared option at argv[i]; returns the number of words taken (0:
// not a shared option, -1: its value is missing).
int parse_media_option(int argc, char** argv, int i, MediaArguments& arguments);

// The help text's lines of the shared options, --help and --version.
extern const char* const MEDIA_OPTIONS_HELP;

// Prints "NAME: problem" and the help text on standard error; returns 2,
// the exit status of bad arguments.
int media_usage(const char* name, const std::string& help, const std::string& problem);

// Reads the command line of a builder that takes only the shared options:
// those into arguments, the other words into positional. Returns -1 to go
// on, or the status to exit with (0 after printing the help, 2 after a
// usage error).
int read_media_command_line(int argc, char** argv, const char* name, const std::string& help,
                            MediaArguments& arguments, std::vector<std::string>& positional);
