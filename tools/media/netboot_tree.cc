#include "netboot_tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "install_cd.h"

namespace {

// True when nothing is at path, or an empty folder (which the tree may
// replace); otherwise false with the reason.
bool free_for_tree(const std::string& path, std::string& error) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) return true;
        error = "cannot look at " + path + ": " + strerror(errno);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        DIR* folder = opendir(path.c_str());
        bool empty = folder != nullptr;
        while (empty) {
            struct dirent* entry = readdir(folder);
            if (entry == nullptr) break;
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = false;
        }
        if (folder != nullptr) closedir(folder);
        if (empty) return true;
    }
    error = path + " already exists; name a new folder or remove it first";
    return false;
}

bool make_folder(const std::string& path, std::string& error) {
    if (mkdir(path.c_str(), 0755) == 0) return true;
    error = "cannot make " + path + ": " + strerror(errno);
    return false;
}

}  // namespace

bool make_netboot_tree(const NetbootRequest& request, std::string& error) {
    BootSystem boot;
    if (!find_boot_system(request.bootsys, boot, error)) return false;
    if (!require_file(PXELINUX_0, "pxelinux", error)) return false;
    if (!require_file(LDLINUX_C32, "syslinux-common", error)) return false;
    if (!free_for_tree(request.output, error)) return false;

    PendingOutput output;
    begin_output(output, request.output);
    const std::string& tree = output.temp_path;
    // The menu names the boot system by absolute paths, which pxelinux asks
    // the TFTP server for as they are: the server's root is the tree.
    BootMenu menu = medium_boot_menu(NET_MODE_WORDS, request.media);
    if (!make_folder(tree, error) || !make_folder(tree + "/boot", error) ||
        !make_folder(tree + "/pxelinux.cfg", error) ||
        !copy_file(PXELINUX_0, tree + "/" + NETBOOT_LOADER, error) ||
        !copy_file(LDLINUX_C32, tree + "/ldlinux.c32", error) ||
        !copy_file(boot.kernel, tree + menu.kernel, error) ||
        !copy_file(boot.initrd, tree + menu.initrd, error) ||
        !write_text_file(tree + "/pxelinux.cfg/default", boot_loader_config(menu), error)) {
        return false;
    }
    // An empty folder at the name asked for gives way to the tree.
    rmdir(request.output.c_str());
    return commit_output(output, error);
}
