"""Test PC: the power goes (the emulator killed, no warning to the
machine) at seeded moments of a CD-ROM, a floppy-set and a network
installation; the same installation from the same medium then completes,
and the file systems pass e2fsck -n.

CD-ROM (the sample packages, every one chosen, a blank 100 MB disk): the
  power goes a seeded 0-0.3 s after the kernel package's unpacker line,
  while system (4 MB) is unpacked; the installation again completes, the disk passes
  e2fsck -n with every sample package whole, and the PC comes up from it.
Floppy set (alpha and beta of target_disk_faults.py on one floppy, a disk
  with an old system's /vyre/store, y to keeping it): the power goes at
  "Writing back old configuration...": the old configuration, held only in
  the installer's memory while the disk was partitioned and formatted, is
  gone (the new file system holds no /vyre/store, or an empty one). The
  installation again (keeping the configuration: there is none to keep)
  completes, and the power goes right after "Software installed.": the
  disk passes e2fsck -n, alpha and beta whole, marked unmounted cleanly.
Network (alpha and beta from this machine's peer): the power goes a seeded
  0.2-1.5 s into "Formatting disk..."; the installation again, from a
  peer serving the same files, completes and passes e2fsck -n.

The CD-ROM PC runs beside the floppy-set and network PCs (one after the
other).
"""

import os
import random
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import disk_layouts as dc  # noqa: E402
from cdrom_install import UNPACKER_LINE, host_program  # noqa: E402
from floppy_set_faults import expect, make_set  # noqa: E402
from floppy_set_install import check_installed  # noqa: E402
from remote_install import samples_source  # noqa: E402
from target_disk_faults import package_cd, start_installation  # noqa: E402
from target_disk_keep_faults import old_system  # noqa: E402
from testpc import (ENTER, Segment, TestPC, boot_installed_disk, cut_power_at,  # noqa: E402
                    make_cd_image, make_disk_image, make_fat_floppy, run_scenario,
                    run_side_by_side)

PROCESSORS = 2
SEED = 22
SAMPLES = ["firewall", "kernel", "routing", "system", "webadmin"]
ROUTER_MAC = "52:54:00:00:16:01"


def root_start(image):
    return dc.partition_entries(dc.read_sector0(image))[0][2]


def restart_after_enter(pc):
    pc.send(ENTER)
    pc.expect("\nRebooting...", 30)
    pc.wait_restart(60)


def cdrom(tmp, moments):
    folder = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples", "packages")
    iso = make_cd_image(os.path.join(tmp, "samples.iso"), folder)
    disk = make_disk_image(os.path.join(tmp, "cd-hda.img"), 100)
    delay = moments.uniform(0.0, 0.3)
    with start_installation("power_cdrom", iso, disk, menu_text="system (depends on kernel):") as pc:
        cut_power_at(pc, "\nkernel: ", 300, delay)
        text = pc.console_text()
    cut_at = [r[0] for r in UNPACKER_LINE.findall(text)]
    expect(len(cut_at) < len(SAMPLES) and "Software installed." not in text,
           "the power went after the packages: %r" % cut_at)
    with start_installation("power_cdrom_again", iso, disk, menu_text="system (depends on kernel):") as pc:
        pc.expect("\nSoftware installed.\n", 600)
        pc.expect("Press ENTER to reboot", 30)
        restart_after_enter(pc)
    check_installed(disk, samples_source(), kept=False)
    system = boot_installed_disk(disk, name="power_cdrom-up")
    expect(system.packages == SAMPLES, "the installed system reports %r" % system)
    print("ok: CD-ROM, power cut %.2f s after the kernel's line (packages done: %s), installed "
          "again, boots" % (delay, cut_at))


def floppy_set(tmp):
    alpha = os.path.join(tmp, "cd", "packages", "alpha.vpk")
    payload = os.path.join(tmp, "payload")
    with open(payload, "wb") as out:
        for name in ("alpha", "beta"):
            with open(alpha.replace("alpha", name), "rb") as f:
                out.write(f.read())
    floppy = make_set(host_program("brindlex-floppyset"), os.path.join(tmp, "set"), payload,
                      2222)(0)
    disk, _ = old_system(tmp, "floppy-old")

    def boot(name):
        pc = TestPC(name, disks=[disk], floppy=floppy, memory_mb=128)
        pc.start()
        pc.expect("Do you want to keep old configuration?  [y/n]:", 120)
        pc.send("y")
        pc.expect("Continue? [y/n]:", 30)
        pc.send("y")
        return pc

    with boot("power_floppy_restore") as pc:
        pc.expect("Reading old configuration...", 120)
        cut_power_at(pc, "Writing back old configuration...", 180)
    start = root_start(disk)
    left = (dc.listing(disk, start, "/vyre/store")
            if dc.inode_stat(disk, start, "/vyre/store") else None)
    expect(not left, "the old configuration survived the power cut: %r" % left)
    with boot("power_floppy_again") as pc:
        pc.expect("Please insert 2nd installation floppy.\nPress ENTER when ready", 180)
        text = pc.console_text()
        pc.send(ENTER)
        cut_power_at(pc, "\nSoftware installed.\n", 180)
    expect(("Reading old configuration..." in text) == (left is not None),
           "the second run read a configuration: %r" % text)
    start = root_start(disk)
    dc.e2fsck_clean(disk, start)
    expect(dc.unmounted_cleanly(disk, start), "the file system was left mounted")
    expect(dc.cat(disk, start, "/etc/alpha/alpha.conf") == b"alpha settings\n" * 40,
           "alpha is not whole")
    expect(dc.inode_stat(disk, start, "/var/beta/data.bin")["size"] == 30000, "beta is not whole")
    print("ok: floppy set, power cut in the restore (the old configuration: %s on the disk), "
          "installed again, power cut after 'Software installed.'"
          % ("no /vyre/store" if left is None else "an empty /vyre/store"))


def network(tmp, moments):
    files = [os.path.join(tmp, "cd", "packages", name + ".vpk") for name in ("alpha", "beta")]
    disk = make_disk_image(os.path.join(tmp, "net-hda.img"), 40)
    floppy = make_fat_floppy(os.path.join(tmp, "label.img"), {"label.txt": "power\n"})
    delay = moments.uniform(0.2, 1.5)
    for attempt in ("power_net", "power_net_again"):
        with Segment(attempt, ports=1, host_peer=True) as segment:
            segment.start_peer(["--server", "--listen-seconds", "300", "--script",
                                "/system identity set name=power\n"] + files)
            with TestPC(attempt, type_text="net\n", disks=[disk], floppy=floppy,
                        nics=[("e1000", ROUTER_MAC.lower(), segment)]) as pc:
                pc.start()
                if attempt == "power_net":
                    cut_power_at(pc, "Formatting disk...", 240, delay)
                    continue
                pc.expect("\nSoftware installed.\n", 300)
                pc.expect("Press ENTER to reboot", 60)
                pc.quiet(1)
                pc.send("x")
                pc.expect("\nRebooting...", 60)
                pc.wait_restart(60)
    start = root_start(disk)
    dc.e2fsck_clean(disk, start)
    expect(dc.inode_stat(disk, start, "/var/beta/data.bin")["size"] == 30000, "beta is not whole")
    print("ok: network, power cut %.1f s into formatting, installed again" % delay)


def main():
    moments = random.Random(SEED)
    with tempfile.TemporaryDirectory() as tmp:
        package_cd(tmp)
        cd_moments, net_moments = random.Random(moments.random()), random.Random(moments.random())
        run_side_by_side(lambda: cdrom(tmp, cd_moments),
                         lambda: (floppy_set(tmp), network(tmp, net_moments)))


if __name__ == "__main__":
    run_scenario(main)
