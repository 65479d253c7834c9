#include "disk_image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "startup/disk_image_install.h"

namespace {

constexpr uint64_t MIB = 1 << 20;

// The first sector the unattended installation writes.
constexpr uint64_t MBR_SIZE = 512;

// Room the FAT itself and the boot loader take on a volume, at the most.
constexpr uint64_t VOLUME_OVERHEAD = 2 * MIB;

// Size of a regular file, or -1.
int64_t regular_file_size(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    return int64_t(status.st_size);
}

std::string mib_text(uint64_t bytes) {
    return std::to_string((bytes + MIB - 1) / MIB) + " MiB";
}

// Copies a file onto the volume with mtools.
bool put_on_volume(const std::string& image, const std::string& from, const std::string& to,
                   std::string& error) {
    return run_tool({"mcopy", "-i", image, from, "::" + to}, error);
}

}  // namespace

uint64_t memory_needed_mib(uint64_t held_bytes) {
    return IMAGE_INSTALL_BASE_MIB + (held_bytes + MIB - 1) / MIB;
}

bool make_disk_image(const DiskImageRequest& request, std::string& warnings, uint64_t& memory_mib,
                     std::string& error) {
    BootSystem boot;
    PackageSet packages;
    // A boot image of another mode carries the boot system alone.
    const char* boot_only = boot_only_mode_words(request.media.boot_only);
    if (!find_boot_system(request.bootsys, boot, error)) return false;
    if (boot_only == nullptr && !check_packages(request.packages, packages, error)) return false;
    for (const std::string& warning : packages.warnings) warnings += "warning: " + warning + "\n";
    if (packages.files.size() > size_t(PACKAGE_TABLE_SIZE)) {
        error = "the installer takes at most " + std::to_string(PACKAGE_TABLE_SIZE) +
                " packages, " + request.packages + " holds " +
                std::to_string(packages.files.size());
        return false;
    }
    int64_t script_size = boot_only != nullptr ? 0 : regular_file_size(request.script);
    if (script_size < 0) {
        error = "the script " + request.script + " is not a readable file";
        return false;
    }
    if (boot_only == nullptr && !request.choose) {
        int64_t mbr_size = regular_file_size(request.mbr);
        if (mbr_size < 0) {
            error = "the first sector " + request.mbr + " is not a readable file";
            return false;
        }
        if (uint64_t(mbr_size) < MBR_SIZE) {
            error = "the first sector " + request.mbr + " holds " + std::to_string(mbr_size) +
                    " bytes; the installer writes 512";
            return false;
        }
        if (uint64_t(mbr_size) > MBR_SIZE) {
            warnings += "warning: only the first 512 bytes of " + request.mbr + " are written\n";
        }
    }

    // Everything on the volume, and what the installation holds in memory.
    uint64_t held = uint64_t(script_size);
    for (const std::string& file : packages.files) {
        held += uint64_t(regular_file_size(request.packages + "/" + file));
    }
    uint64_t content = held + uint64_t(regular_file_size(boot.kernel)) +
                       uint64_t(regular_file_size(boot.initrd)) + MBR_SIZE + VOLUME_OVERHEAD;
    if (packages.has_defaults)
        content += uint64_t(regular_file_size(request.packages + "/defpacks"));
    if (request.size_mib * MIB < content) {
        error = "the files need " + mib_text(content) + ", more than the " +
                std::to_string(request.size_mib) + " MiB of the image";
        return false;
    }

    ScratchDirectory scratch;
    if (scratch.path.empty()) {
        error = "cannot make a scratch directory in /tmp";
        return false;
    }
    BootMenu menu =
        medium_boot_menu(boot_only != nullptr ? boot_only : IMAGE_MODE_WORDS, request.media);
    std::string config = scratch.path + "/syslinux.cfg";
    std::string choose = scratch.path + "/CHOOSE";
    if (!write_text_file(config, boot_loader_config(menu), error) ||
        !write_text_file(choose, "", error)) {
        return false;
    }

    PendingOutput output;
    begin_output(output, request.output);
    FILE* image = fopen(output.temp_path.c_str(), "w");
    if (image == nullptr || ftruncate(fileno(image), off_t(request.size_mib * MIB)) != 0) {
        if (image != nullptr) fclose(image);
        error = "cannot write " + output.temp_path;
        return false;
    }
    fclose(image);
    // mtools checks a volume's geometry against its size; the whole-device
    // volume of an image has no geometry to speak of.
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    const std::string& img = output.temp_path;
    if (!run_tool({"mkfs.vfat", "-n", "BRINDLEX", img}, error) ||
        !run_tool({"mmd", "-i", img, "::/boot", "::/boot/syslinux"}, error) ||
        !put_on_volume(img, boot.kernel, "/boot/vmlinuz", error) ||
        !put_on_volume(img, boot.initrd, "/boot/initrd.gz", error) ||
        !put_on_volume(img, config, "/boot/syslinux/syslinux.cfg", error)) {
        return false;
    }
    // The installation material at the root, where the installer looks.
    for (const std::string& file : packages.files) {
        if (!put_on_volume(img, request.packages + "/" + file, "/" + file, error)) return false;
    }
    if (packages.has_defaults &&
        !put_on_volume(img, request.packages + "/defpacks", "/defpacks", error)) {
        return false;
    }
    if (boot_only == nullptr) {
        if (!put_on_volume(img, request.script, "/autorun.scr", error)) return false;
        if (request.choose ? !put_on_volume(img, choose, "/CHOOSE", error)
                           : !put_on_volume(img, request.mbr, "/mbr", error)) {
            return false;
        }
    }
    // The volume's boot sector and ldlinux, written through mtools.
    if (!run_tool({"syslinux", "--install", "--directory", "/boot/syslinux", img}, error)) {
        return false;
    }
    if (!commit_output(output, error)) return false;
    memory_mib = boot_only != nullptr ? 0 : memory_needed_mib(held);
    return true;
}
