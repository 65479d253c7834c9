#include "install_cd.h"

#include <sys/stat.h>

#include <vector>

namespace {

// A graft point's target name with '=' and '\' escaped, as xorriso wants.
std::string graft_name(const std::string& name) {
    std::string escaped;
    for (char c : name) {
        if (c == '=' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

bool make_install_cd(const InstallCdRequest& request, std::string& warnings, std::string& error) {
    BootSystem boot;
    PackageSet packages;
    // A boot CD of another mode carries the boot system alone.
    const char* boot_only = boot_only_mode_words(request.media.boot_only);
    if (!find_boot_system(request.bootsys, boot, error)) return false;
    if (boot_only == nullptr && !check_packages(request.packages, packages, error)) return false;
    for (const std::string& warning : packages.warnings) warnings += "warning: " + warning + "\n";
    if (!require_file(ISOLINUX_BIN, "isolinux", error)) return false;
    if (!require_file(LDLINUX_C32, "syslinux-common", error)) return false;

    // The boot loader's folder is made here: xorriso writes the boot
    // information table into its copy of isolinux.bin.
    ScratchDirectory scratch;
    if (scratch.path.empty()) {
        error = "cannot make a scratch directory in /tmp";
        return false;
    }
    std::string loader = scratch.path + "/isolinux";
    BootMenu menu =
        medium_boot_menu(boot_only != nullptr ? boot_only : CDROM_MODE_WORDS, request.media);
    if (mkdir(loader.c_str(), 0755) != 0 ||
        !copy_file(ISOLINUX_BIN, loader + "/isolinux.bin", error) ||
        !copy_file(LDLINUX_C32, loader + "/ldlinux.c32", error) ||
        !write_text_file(loader + "/isolinux.cfg", boot_loader_config(menu), error)) {
        if (error.empty()) error = "cannot fill " + loader;
        return false;
    }

    PendingOutput output;
    begin_output(output, request.output);
    // The packages (and defpacks) at the root, where the installer's
    // catalogue looks; the boot system in /boot; the loader in /isolinux.
    std::vector<std::string> command = {"xorriso", "-as",      "mkisofs", "-quiet",        "-r",
                                        "-V",      "BRINDLEX", "-o",      output.temp_path};
    // El Torito without emulation: the BIOS loads 4 sectors of isolinux.bin.
    for (const char* word : {"-b", "isolinux/isolinux.bin", "-c", "isolinux/boot.cat",
                             "-no-emul-boot", "-boot-load-size", "4", "-boot-info-table"}) {
        command.push_back(word);
    }
    command.push_back("-graft-points");
    command.push_back("isolinux/=" + loader);
    command.push_back("boot/vmlinuz=" + boot.kernel);
    command.push_back("boot/initrd.gz=" + boot.initrd);
    for (const std::string& file : packages.files) {
        command.push_back(graft_name(file) + "=" + request.packages + "/" + file);
    }
    if (packages.has_defaults) {
        command.push_back(std::string("defpacks=") + request.packages + "/defpacks");
    }
    if (!run_tool(command, error)) return false;
    return commit_output(output, error);
}
