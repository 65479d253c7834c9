"""Test PC: the ways out of the CD-ROM installation that leave the disk as
it was, and the way back from the remote branch. The CD is the sample packages' CD that brindlex-make-cd made; the PC
boots from it through its BIOS, except where there is no CD to boot from.

  CD on the secondary master,   the menu (hda and hdb, two disks, did not
    two disks before it           mount as ISO 9660); q: "Installation
                                  canceled"; both disks untouched
  i, n to "Continue?"           nothing more; the disk (an old system's
                                  bytes) untouched
  firewall chosen, r, no router  the router list ("Looking for routers on N
    on the network, q             interfaces..."), the menu again; routing
                                  chosen, i: the installation of what the
                                  last menu run chose (kernel, system,
                                  routing; no firewall)
  no hard disk                  "FATAL ERROR: no harddrives found", no menu
  no CD in the drive            "FATAL ERROR: no CD-ROM found" (the PC
    (/TYPE "cdrom")               booted the boot system directly)
"""

import hashlib
import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdrom_install import (expect, install_and_restart, make_install_cd, menu_choice,  # noqa: E402
                           samples_dir)
from floppy_set_install import check_installed  # noqa: E402
from floppy_set_faults import read_file  # noqa: E402
from testpc import ENTER, TestPC, is_blank, make_disk_image, make_fat_disk_image  # noqa: E402

MENU = "Welcome to Brindlex Router Software installation"


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def old_system_disk(path):
    """A disk that is not blank: a partition table and a pattern."""
    make_disk_image(path, 100)
    with open(path, "r+b") as f:
        f.write(b"\xeb\x3c" + b"old boot code" + b"\0" * 431)
        f.write(bytes([0x80, 1, 1, 0, 0x83, 254, 255, 255, 63, 0, 0, 0, 0, 0, 3, 0]))
        f.seek(510)
        f.write(b"\x55\xaa")
        f.seek(1 << 20)
        f.write(b"old file system " * 4096)
    return path


def leave_empty_router_list(pc):
    """'r' in the menu: the router list with no router in it, then 'q'."""
    pc.send("r")
    pc.expect("Select router using 'p' and 'n' or arrow keys.", 60)
    pc.expect("Looking for routers on ", 30)
    listed = pc.expect("...\n", 30)
    expect(re.fullmatch(r"\d+ interfaces?", listed), "router list: %r" % listed)
    pc.quiet(1.0)
    pc.send("q")


def end_with_enter(pc):
    pc.expect("Press ENTER to reboot", 60)
    pc.send(ENTER)
    pc.expect("Rebooting...", 30)
    pc.wait_restart(60)


def boot_menu(name, iso, disks):
    pc = TestPC(name, disks=disks, cdrom=iso, boot_from="cdrom", memory_mb=128)
    pc.start()
    pc.boot_entry("serial")
    pc.expect(MENU, 120)
    pc.expect("system (depends on kernel):", 30)
    return pc


def main():
    with tempfile.TemporaryDirectory() as tmp:
        packages = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples", "packages")
        iso = make_install_cd(tmp, packages)

        # The CD after two disks; q.
        hda = make_disk_image(os.path.join(tmp, "hda.img"), 100)
        hdb = make_fat_disk_image(os.path.join(tmp, "hdb.img"), 20, {"system.vpk": b"x"})
        hdb_before = digest(hdb)
        with boot_menu("cdrom_secondary_master", iso, {"hda": hda, "hdb": hdb}) as pc:
            pc.send("q")
            pc.expect("Installation canceled\n", 30)
            end_with_enter(pc)
        expect(is_blank(hda), "q: hda was written")
        expect(digest(hdb) == hdb_before, "q: hdb was written")
        print("ok: CD-ROM on the secondary master, q")

        # i, then n to "Continue?".
        disk = old_system_disk(os.path.join(tmp, "old.img"))
        before = digest(disk)
        with boot_menu("cdrom_decline", iso, [disk]) as pc:
            pc.send("i")
            pc.expect("Do you want to keep old configuration?  [y/n]:", 60)
            pc.send("n")
            pc.expect("Continue? [y/n]:", 30)
            pc.send("n")
            end_with_enter(pc)
            expect("Creating partition" not in pc.console_text(), "n: the disk was partitioned")
        expect(digest(disk) == before, "n: the disk was written")
        print("ok: n to Continue?")

        # r with no router on the network, q; then i installs the choice of
        # the last menu run.
        target = make_disk_image(os.path.join(tmp, "remote.img"), 200)
        with boot_menu("cdrom_remote", iso, [target]) as pc:
            pc.send_keys("n ", 0.2)  # firewall, with system and routing
            leave_empty_router_list(pc)
            menu_choice(pc, "nnn i", ["system", "routing"], ["firewall", "kernel", "webadmin"])
            install_and_restart(pc, False, ["kernel", "system", "routing"])
        location = check_installed(target, samples_dir(), kept=False)
        expect(read_file(location, "/etc/firewall/rules.conf") is None,
               "r: firewall, chosen before r, was installed")
        print("ok: r, no router, q, i")

        # No hard disk: the CD is never looked for, no menu.
        with TestPC("cdrom_no_disk", cdrom=iso, boot_from="cdrom", memory_mb=128) as pc:
            pc.start()
            pc.boot_entry("serial")
            pc.expect("\nFATAL ERROR: no harddrives found\n", 120)
            end_with_enter(pc)
            expect(MENU not in pc.console_text(), "no disk: the menu was shown")
        print("ok: no hard disk")

        # No CD in the drive.
        with TestPC("cdrom_none", type_text="cdrom\n", disks=[disk], cdrom="",
                    memory_mb=128) as pc:
            pc.start()
            pc.expect("Found harddrive as IDE Primary master (disk C)", 120)
            pc.expect("\nFATAL ERROR: no CD-ROM found\n", 60)
            end_with_enter(pc)
        expect(digest(disk) == before, "no CD: the disk was written")
        print("ok: no CD-ROM")
    print("cdrom_menu_paths: ok")


if __name__ == "__main__":
    import testpc
    testpc.run_scenario(main)
