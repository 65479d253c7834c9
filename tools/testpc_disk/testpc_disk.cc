// The test PC's driver of the disk steps: detect_disk, prepare_disk, a small
// test root on /mnt, finish_installation, power off. Every line it prints
// begins with "testpc-disk: " so that the scenarios can pick them out of
// the console transcript.
//
// The same program is the recorder that stands in for the new system's
// programs: started as "bash" or "fsck" (copies in the new root) it reports
// its arguments and which root it runs in; started as "mke2fs" it fails,
// for the scenario of a formatting tool that breaks.
//
// Options, as arguments (brindlex.arg=... on the kernel command line):
//   testpc-disk.keep          keep the old configuration
//   testpc-disk.break-mke2fs  every file-system run fails
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/console_state.h"
#include "disk/disk_preparation.h"
#include "startup/install_context.h"
#include "startup/process_state.h"

namespace {

// Present only in the root the installer has just made.
const char* const NEW_ROOT_MARKER = "/.testpc-new-root";
// Written by the recorder bash into the new root.
const char* const TRACE_FILE = "/testpc-trace";

bool in_new_root() {
    struct stat status;
    return stat(NEW_ROOT_MARKER, &status) == 0;
}

std::string joined_arguments(int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) text += std::string(i > 1 ? " " : "") + argv[i];
    return text;
}

// The recorder bash: the post-install script's interpreter.
int record_bash(int argc, char** argv) {
    std::string args = joined_arguments(argc, argv);
    struct stat status;
    bool script = argc > 2 && stat(argv[2], &status) == 0;
    FILE* trace = fopen(TRACE_FILE, "a");
    if (trace != nullptr) {
        fprintf(trace, "bash argv: %s\nbash root: %s\nbash script: %s\n", args.c_str(),
                in_new_root() ? "new" : "other", script ? "present" : "missing");
        fclose(trace);
    }
    printf("testpc-disk: bash argv: %s root: %s\n", args.c_str(), in_new_root() ? "new" : "other");
    return 0;
}

// The recorder fsck: runs on the read-only new root, so it reports on its
// output (the log terminal) and proves that its root cannot be written.
int record_fsck(int argc, char** argv) {
    std::string args = joined_arguments(argc, argv);
    int fd = open("/testpc-fsck-probe", O_WRONLY | O_CREAT, 0644);
    bool read_only = fd < 0 && errno == EROFS;
    if (fd >= 0) close(fd);
    printf("testpc-disk: fsck argv: %s root: %s read-only: %s\n", args.c_str(),
           in_new_root() ? "new" : "other", read_only ? "yes" : "no");
    fflush(stdout);
    return 0;
}

bool has_option(int argc, char** argv, const char* option) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], option) == 0) return true;
    }
    char line[1024] = "";
    FILE* cmdline = fopen("/proc/cmdline", "r");
    if (cmdline != nullptr) {
        if (fgets(line, sizeof(line), cmdline) == nullptr) line[0] = '\0';
        fclose(cmdline);
    }
    for (char* word = strtok(line, " \n"); word != nullptr; word = strtok(nullptr, " \n")) {
        if (strcmp(word, option) == 0) return true;
    }
    return false;
}

void say(const char* format, const char* text) {
    printf("testpc-disk: ");
    printf(format, text);
    printf("\n");
    fflush(stdout);
}

// Lists what is mounted at or below /mnt.
void show_mounts(const char* when) {
    FILE* mounts = fopen("/proc/mounts", "r");
    char line[256];
    int count = 0;
    while (mounts != nullptr && fgets(line, sizeof(line), mounts) != nullptr) {
        char device[128], target[128], type[32], options[128];
        if (sscanf(line, "%127s %127s %31s %127s", device, target, type, options) != 4) continue;
        if (strncmp(target, "/mnt", 4) != 0) continue;
        printf("testpc-disk: mounted %s: %s %s %s %s\n", when, device, target, type, options);
        ++count;
    }
    if (mounts != nullptr) fclose(mounts);
    if (count == 0) printf("testpc-disk: mounted %s: nothing\n", when);
    fflush(stdout);
}

bool copy_file(const char* from, const char* to, mode_t mode) {
    FILE* in = fopen(from, "rb");
    FILE* out = fopen(to, "wb");
    bool ok = in != nullptr && out != nullptr;
    char block[4096];
    size_t got;
    while (ok && (got = fread(block, 1, sizeof(block), in)) > 0) {
        ok = fwrite(block, 1, got, out) == got;
    }
    if (in != nullptr) fclose(in);
    if (out != nullptr && fclose(out) != 0) ok = false;
    chmod(to, mode);
    return ok;
}

// The programs finish_installation starts, and the root marker.
bool make_test_root() {
    mkdir("/mnt/bin", 0755);
    mkdir("/mnt/sbin", 0755);
    mkdir("/mnt/etc/rc.d", 0755);
    bool ok = copy_file("/sbin/testpc-disk", "/mnt/bin/bash", 0755) &&
              copy_file("/sbin/testpc-disk", "/mnt/sbin/fsck", 0755);
    FILE* script = fopen("/mnt/etc/rc.d/rc.postinstall", "w");
    if (script != nullptr) {
        fputs("# post-install script of the test root\n", script);
        ok = fclose(script) == 0 && ok;
    } else {
        ok = false;
    }
    FILE* marker = fopen("/mnt/.testpc-new-root", "w");
    if (marker != nullptr) fclose(marker);
    return ok && marker != nullptr;
}

[[noreturn]] void power_off() {
    sync();
    say("%s", "end");
    reboot(RB_POWER_OFF);
    for (;;) pause();
}

void prepare_machine() {
    mkdir("/proc", 0555);
    mount("proc", "/proc", "proc", 0, nullptr);
    mkdir("/sys", 0555);
    mount("sysfs", "/sys", "sysfs", 0, nullptr);
    // The pre-init left /dev with the device names the installer expects.
    mkdir("/mnt", 0755);
    // Child programs' output goes into the console transcript (the driver's
    // own output), so that one transcript holds the whole run.
    unlink("/logtty");
    if (symlink("/dev/ttyS0", "/logtty") == 0)
        snprintf(log_terminal, sizeof(log_terminal), "/logtty");
    signal(SIGPIPE, SIG_IGN);
}

void break_mke2fs() {
    if (rename("/sbin/mke2fs", "/sbin/mke2fs.real") != 0 ||
        symlink("/sbin/testpc-disk", "/sbin/mke2fs") != 0) {
        say("%s", "could not replace /sbin/mke2fs");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = strrchr(argv[0], '/') != nullptr ? strrchr(argv[0], '/') + 1 : argv[0];
    if (strcmp(name, "bash") == 0) return record_bash(argc, argv);
    if (strcmp(name, "fsck") == 0) return record_fsck(argc, argv);
    if (strcmp(name, "mke2fs") == 0) return 1;
    if (getpid() != 1) {
        fprintf(stderr, "testpc-disk: runs only as init on the test PC\n");
        return 2;
    }

    prepare_machine();
    bool keep = has_option(argc, argv, "testpc-disk.keep");
    if (has_option(argc, argv, "testpc-disk.break-mke2fs")) break_mke2fs();
    ConsoleState* console = new ConsoleState{};
    tcgetattr(0, &console->saved);
    set_console_state(console);
    say("start keep=%s", keep ? "yes" : "no");

    InstallContext ctx;
    init_install_context(ctx);
    if (!detect_disk(ctx)) {
        say("%s", "detect_disk false");
        power_off();
    }
    printf("testpc-disk: disk %s cylinders %u bytes/cylinder %u boot %d journal %d\n",
           ctx.disk.device, ctx.disk.cylinders, ctx.disk.bytes_per_cylinder,
           int(ctx.disk.has_boot_partition), int(ctx.disk.use_journal));
    fflush(stdout);
    bool prepared = prepare_disk(ctx, keep);
    say("prepare_disk %s", prepared ? "true" : "false");
    if (!prepared) {
        show_mounts("after failed preparation");
        power_off();
    }
    show_mounts("after preparation");
    say("test root %s", make_test_root() ? "made" : "incomplete");
    say("finish_installation %s", finish_installation(ctx) ? "true" : "false");
    show_mounts("after finish");
    power_off();
}
