"""Test PC: hard-disk image installations from images that
brindlex-make-disk-image made.

Boot 1, unattended, the PC booted from the image through its BIOS (its
"serial" entry): the sample packages (kernel; system needs kernel; routing
needs system; firewall needs system and routing; webadmin needs routing and
firewall) and "blob", a package file of exactly
9000 bytes (4096, 4096 and 808 on the way into its unpacker). No question at
all; "Reading: NAME..." for every package, dependencies first; the disk
prepared; one unpacker run per package in the order they were read;
"Software installed." and the restart 2 seconds later without ENTER. On the
host: every package's files (blob's whole), /autorun.scr byte for byte the
volume's (there when the post-install script ran), the boot program and the
new partition table in sector 0, a clean file system; and the PC comes up
from the installed disk with every package.

Boot 2, the image on the second disk (hdb) with an "mbr" of 600 bytes, a
blank first disk (hda): the installer boots as init with "-hdd-install".
The image's first sector becomes the first 512 bytes of "mbr" and nothing
after it changes; hda gets the system.

Boot 3, the same with "CHOOSE" instead of "mbr": the menu, firewall chosen
(system and routing come with it, the kernel as system's dependency), 'i':
hda gets those four, and the image's first sector is as it was.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdrom_install import (UNPACKER_LINE, build_package, host_program, menu_choice,  # noqa: E402
                           samples_dir)
import disk_layouts as dc  # noqa: E402
from floppy_set_faults import expect, read_file, root_location  # noqa: E402
from floppy_set_install import check_installed  # noqa: E402
from testpc import TestPC, boot_installed_disk, make_disk_image  # noqa: E402

BLOB_SIZE = 9000
SCRIPT = (b"/ip address add address=10.0.0.2/24 interface=ether1\n"
          b"/system identity set name=\xe9tage-2\n")
BANNER = "Welcome to Brindlex Router Software hard disk installation"
READING = re.compile(r"Reading: (\w+)\.\.\.\.*$", re.M)
# Each package after the packages it needs.
NEEDS = {"system": ["kernel"], "routing": ["system"], "firewall": ["system", "routing"],
         "webadmin": ["routing", "firewall"]}


def package_dir(tmp, blob=True):
    """The sample packages (and blob) in tmp/packages; returns (path, blob's files)."""
    packages = os.path.join(tmp, "packages")
    os.makedirs(packages, exist_ok=True)
    built = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples", "packages")
    for f in os.listdir(built):
        shutil.copy(os.path.join(built, f), os.path.join(packages, f))
    files = None
    if blob:
        _, files = build_package(tmp, "blob", {"var/blob/data.bin": bytes(range(256)) * 8},
                                 size=BLOB_SIZE)
    return packages, files


def make_image(tmp, packages, name, mbr=None, size_mib=64, script=SCRIPT):
    """An image made by the builder: unattended with mbr (bytes), else with
    CHOOSE."""
    script_path = os.path.join(tmp, "autorun.scr")
    with open(script_path, "wb") as f:
        f.write(script)
    args = [host_program("brindlex-make-disk-image"), "--size", str(size_mib), "--script",
            script_path]
    if mbr is None:
        args.append("--choose")
    else:
        mbr_path = os.path.join(tmp, "mbr")
        with open(mbr_path, "wb") as f:
            f.write(mbr)
        args += ["--mbr", mbr_path]
    image = os.path.join(tmp, name)
    subprocess.run(args + [packages, os.environ["BRINDLEX_BOOTSYS_DIR"], image], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return image


def pattern(size, seed):
    return bytes((i * seed + 11) % 256 for i in range(size))


def boot_image(name, image, memory_mb=96):
    """Boots the PC from the image through its BIOS, serial entry."""
    pc = TestPC(name, disks=[image], boot_from="disk", memory_mb=memory_mb)
    pc.start()
    pc.boot_entry("serial")
    pc.expect(BANNER, 120)
    return pc


def check_order(reading, unpacked):
    expect(unpacked == reading, "unpacked %r, read %r" % (unpacked, reading))
    for package, needed in NEEDS.items():
        if package in reading:
            for n in needed:
                expect(reading.index(n) < reading.index(package), "%s before %s" % (package, n))


def check_script(location):
    expect(read_file(location, "/autorun.scr") == SCRIPT, "/autorun.scr is not the volume's")
    trace = read_file(location, "/var/log/postinstall.trace").decode()
    expect("configuration script: present" in trace, "no script for rc.postinstall: %r" % trace)


def unattended(tmp):
    packages, blob = package_dir(tmp)
    image = make_image(tmp, packages, "router.img", mbr=pattern(512, 7))
    with boot_image("disk_image_unattended", image) as pc:
        pc.expect("Software installed.\n", 600)
        installed_at = time.monotonic()
        pc.wait_restart(60)
        pause = time.monotonic() - installed_at
        text = pc.console_text()
    expect("[y/n]" not in text and "Press ENTER" not in text, "a question or ENTER: %r" % text)
    expect("ERROR" not in text, "an error line")
    expect(pause >= 1.9, "restarted %.1f s after \"Software installed.\"" % pause)
    reading = READING.findall(text)
    everything = ["blob", "kernel", "system", "routing", "firewall", "webadmin"]
    expect(sorted(reading) == sorted(everything), "read %r" % reading)
    check_order(reading, [line[0] for line in UNPACKER_LINE.findall(text)])
    expect(all(d == t for _, d, t in UNPACKER_LINE.findall(text)), "an incomplete unpacker run")

    location = check_installed(image, samples_dir(), kept=False)
    for package, path in (("firewall", "/etc/firewall/rules.conf"),
                          ("webadmin", "/etc/webadmin/webadmin.conf")):
        with open(os.path.join(samples_dir(), package + path), "rb") as f:
            expect(read_file(location, path) == f.read(), path + " differs or is missing")
    expect(read_file(location, "/var/blob/data.bin") == blob["var/blob/data.bin"],
           "blob's file is not whole")
    check_script(location)
    dc.check_boot_record(image, dc.boot_program_bytes(dc.target_dir()))
    system = boot_installed_disk(image, name="disk_image_unattended-up")
    expect((system.root, system.root_type, system.packages, system.kept_configuration) ==
           ("/dev/hda1", "ext3", sorted(everything), []),
           "the installed system reports %r" % system)
    print("ok: unattended")


def second_disk(tmp, name, image, keys=None):
    """Installs from the image on hdb onto a blank hda (kernel loaded by the
    emulator); returns hda and the console text."""
    hda = make_disk_image(os.path.join(tmp, name + "-hda.img"), 100)
    with TestPC(name, init_args=["-hdd-install"], disks=[hda, image]) as pc:
        pc.start()
        pc.expect(BANNER, 120)
        if keys:
            menu_choice(pc, keys, ["system", "routing", "firewall"], ["webadmin"])
        pc.expect("Software installed.\n", 600)
        pc.wait_restart(60)
        return hda, pc.console_text()


def on_second_disk(tmp):
    packages, _ = package_dir(os.path.join(tmp, "second"), blob=False)
    mbr = pattern(600, 13)
    image = make_image(tmp, packages, "hdb.img", mbr=mbr)
    with open(image, "rb") as f:
        before = f.read(4096)
    hda, text = second_disk(tmp, "disk_image_second_disk", image)
    with open(image, "rb") as f:
        after = f.read(4096)
    expect(after[:512] == mbr[:512], "the image's first sector is not the first 512 bytes of mbr")
    expect(after[512:] == before[512:], "more than the first sector was written")
    location = check_installed(hda, samples_dir(), kept=False)
    check_script(location)
    print("ok: mbr of 600 bytes on the second disk")

    image = make_image(tmp, packages, "choose.img")
    with open(image, "rb") as f:
        before = f.read(512)
    hda, text = second_disk(tmp, "disk_image_choose", image, keys="n i")
    with open(image, "rb") as f:
        expect(f.read(512) == before, "CHOOSE: the image's first sector was written")
    location = check_installed(hda, samples_dir(), kept=False)
    expect(read_file(location, "/etc/webadmin/webadmin.conf") is None, "webadmin installed")
    reading = READING.findall(text)
    expect(sorted(reading) == ["firewall", "kernel", "routing", "system"], "read %r" % reading)
    check_order(reading, [line[0] for line in UNPACKER_LINE.findall(text)])
    check_script(location)
    print("ok: CHOOSE")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        unattended(tmp)
        on_second_disk(tmp)
    print("disk_image_install: ok")


if __name__ == "__main__":
    import testpc
    testpc.run_scenario(main)
