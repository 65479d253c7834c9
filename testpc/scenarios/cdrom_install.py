"""Test PC: CD-ROM installations from a CD that brindlex-make-cd made, the
PC booted from it through its BIOS (the CD's boot loader, its "serial"
entry, the boot system, the installer with /TYPE "cdrom").

The CD holds the sample packages (kernel; system needs kernel; routing
needs system; firewall needs system and routing; webadmin needs routing and
firewall) and "blob",
a package file of exactly 10000 bytes (two whole 4096-byte blocks and a
short one on the way into its unpacker).

Boot 1, a blank 400 MB disk: the menu; blob and firewall chosen (firewall
pulls in system and routing, system the kernel); 'i'; n to keeping the
configuration, y to "Continue?"; the disk prepared; one unpacker run per
package in dependency order (blob, kernel, system, routing, firewall: the CD
lists its files by name), each
printing its line; "Software installed.", "Press ENTER to reboot", the
restart. On the host: the chosen packages' files (blob's whole), none of
webadmin's, /CDINSTALL (mode 0600, size 0, there when the post-install script
ran), lilo.conf, fstab, a clean file system.

Boot 2, the same disk with a file added below /vyre/store: routing alone
chosen, y to keeping the configuration: the file comes back, and the PC
comes up from the installed disk reporting it.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from floppy_set_faults import debugfs, expect, read_file, root_location  # noqa: E402
from floppy_set_install import check_installed  # noqa: E402
from testpc import ENTER, TestPC, boot_installed_disk, make_disk_image  # noqa: E402

BLOB_SIZE = 10000
UNPACKER_LINE = re.compile(r"^(\w+): (\d+) of (\d+) entries installed$", re.M)


def samples_dir():
    """The sample packages' sources in the repository."""
    return os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))), "samples")


def host_program(name):
    return os.path.join(os.environ["BRINDLEX_HOST_DIR"], "bin", name)


def build_package(tmp, name, files, size=None, depends=()):
    """Builds name.vpk in tmp/packages from files ({path: bytes}); with size,
    the first file is grown or shrunk so that the package is size bytes."""
    out = os.path.join(tmp, "packages", name + ".vpk")
    os.makedirs(os.path.dirname(out), exist_ok=True)

    def build(contents):
        tree = os.path.join(tmp, "tree-" + name)
        shutil.rmtree(tree, ignore_errors=True)
        for path, data in contents.items():
            os.makedirs(os.path.dirname(os.path.join(tree, path)), exist_ok=True)
            with open(os.path.join(tree, path), "wb") as f:
                f.write(data)
        args = [host_program("brindlex-pkg"), "build", "--name", name, "--root-owner"]
        for d in depends:
            args += ["--depends", d]
        subprocess.run(args + ["--output", out, tree], check=True, stdout=subprocess.DEVNULL)
        shutil.rmtree(tree)

    build(files)
    if size is not None:
        first = next(iter(files))
        files = dict(files)
        grown = len(files[first]) + size - os.path.getsize(out)
        files[first] = (files[first] * (grown // max(len(files[first]), 1) + 1))[:grown]
        build(files)
        expect(os.path.getsize(out) == size, "%s is not %d bytes" % (out, size))
    return out, files


def make_install_cd(tmp, packages, name="cd.iso"):
    """The installation CD of a package directory, made by the CD builder."""
    iso = os.path.join(tmp, name)
    subprocess.run([host_program("brindlex-make-cd"), packages,
                    os.environ["BRINDLEX_BOOTSYS_DIR"], iso], check=True,
                   stdout=subprocess.DEVNULL)
    return iso


def sample_cd(tmp):
    """The sample packages and blob on a CD; returns (iso, blob's files)."""
    samples = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples", "packages")
    os.makedirs(os.path.join(tmp, "packages"), exist_ok=True)
    for f in os.listdir(samples):
        shutil.copy(os.path.join(samples, f), os.path.join(tmp, "packages", f))
    data = bytes(range(251)) * 8
    _, files = build_package(tmp, "blob", {"var/blob/data.bin": data}, size=BLOB_SIZE)
    return make_install_cd(tmp, os.path.join(tmp, "packages")), files


def boot_cd(name, iso, disks):
    pc = TestPC(name, disks=disks, cdrom=iso, boot_from="cdrom", memory_mb=128)
    pc.start()
    pc.boot_entry("serial")
    return pc


def menu_choice(pc, keys, selected, unselected):
    """Types keys in the menu (one at a time) and checks the last drawing of
    the grid: which packages carry an X."""
    pc.expect("Welcome to Brindlex Router Software installation", 120)
    pc.expect("system (depends on kernel):", 30)
    pc.send_keys(keys[:-1], 0.2)
    pc.quiet(1.0)
    drawn = pc.rest()
    for name in selected:
        expect(" [X] %s " % name in drawn, "%s not drawn selected: %r" % (name, drawn))
    for name in unselected:
        expect(" [X] %s " % name not in drawn.split(" [ ] %s " % name)[-1],
               "%s drawn selected: %r" % (name, drawn))
    pc.send(keys[-1])


def install_and_restart(pc, keep, packages):
    """From the keep question to the restart; checks the unpacker lines."""
    pc.expect("Do you want to keep old configuration?  [y/n]:", 60)
    pc.send("y" if keep else "n")
    pc.expect("Warning: all data on the disk will be erased!", 30)
    pc.expect("Continue? [y/n]:", 30)
    pc.send("y")
    pc.expect("Creating partition...", 120)
    pc.expect("Formatting disk...", 120)
    unpacking = pc.expect("Checking disk integrity...", 600)
    lines = UNPACKER_LINE.findall(unpacking)
    expect([line[0] for line in lines] == packages,
           "unpacker runs %r, not %r" % (lines, packages))
    expect(all(done == total for _, done, total in lines), "an incomplete unpacker run %r" % lines)
    pc.expect("\nSoftware installed.\n", 120)
    pc.expect("Press ENTER to reboot", 30)
    pc.send(ENTER)
    pc.expect("Rebooting...", 30)
    pc.wait_restart(60)
    expect("ERROR" not in pc.console_text(), "an error line on the console")


def debugfs_stat(location, path):
    text = debugfs(location, "stat " + path).decode(errors="replace")
    mode = re.search(r"Mode:\s+(\d+)", text)
    size = re.search(r"Size:\s+(\d+)", text)
    return (int(mode.group(1), 8) if mode else None, int(size.group(1)) if size else None)


def main():
    samples = samples_dir()
    with tempfile.TemporaryDirectory() as tmp:
        iso, blob_files = sample_cd(tmp)
        disk = make_disk_image(os.path.join(tmp, "hda.img"), 400)

        # Boot 1: blob and firewall, which pulls in system and routing.
        with boot_cd("cdrom_install", iso, [disk]) as pc:
            menu_choice(pc, "n n i", ["system", "blob", "firewall", "routing"], ["webadmin"])
            install_and_restart(pc, False, ["blob", "kernel", "system", "routing", "firewall"])
        location = check_installed(disk, samples, kept=False)
        with open(os.path.join(samples, "firewall/etc/firewall/rules.conf"), "rb") as f:
            expect(read_file(location, "/etc/firewall/rules.conf") == f.read(),
                   "firewall's file differs or is missing")
        expect(read_file(location, "/var/blob/data.bin") == blob_files["var/blob/data.bin"],
               "blob's file is not whole")
        expect(read_file(location, "/etc/webadmin/webadmin.conf") is None,
               "webadmin was installed without being chosen")
        expect(debugfs_stat(location, "/CDINSTALL") == (0o600, 0),
               "/CDINSTALL: %r" % (debugfs_stat(location, "/CDINSTALL"),))
        trace = read_file(location, "/var/log/postinstall.trace").decode()
        expect("CD-ROM marker: present" in trace, "no marker for rc.postinstall: %r" % trace)

        # Boot 2: keep the configuration, routing alone.
        marker = os.path.join(tmp, "marker")
        with open(marker, "w") as f:
            f.write("kept across the reinstallation\n")
        debugfs(location, "mkdir /vyre/store", write=True)
        debugfs(location, "write %s /vyre/store/marker" % marker, write=True)
        with boot_cd("cdrom_install_keep", iso, [disk]) as pc:
            menu_choice(pc, "nnnn i", ["system", "routing"],
                        ["blob", "firewall", "kernel", "webadmin"])
            install_and_restart(pc, True, ["kernel", "system", "routing"])
        location = check_installed(disk, samples, kept=True)
        expect(read_file(location, "/vyre/store/marker") == b"kept across the reinstallation\n",
               "the kept configuration is gone")
        expect(read_file(location, "/var/blob/data.bin") is None, "blob survived the reformat")
        system = boot_installed_disk(disk, name="cdrom_install-up")
        expect((system.root, system.root_type, system.kept_configuration) ==
               ("/dev/hda1", "ext3", ["marker"]), "the installed system reports %r" % system)
    print("cdrom_install: ok")


if __name__ == "__main__":
    import testpc
    testpc.run_scenario(main)
