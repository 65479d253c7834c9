"""Test PC: the limits of the hard-disk image installation, refused before
anything is read from the volume or written to the disk. The images are
brindlex-make-disk-image's, changed with mtools where the builder itself
would refuse; the PC boots from them through its BIOS.

  51 packages                   "FATAL ERROR: too many packages ..."
  packages larger than memory   "FATAL ERROR: not enough memory ..." (48 MiB
                                  of packages on a PC of 96 MiB)
  no FAT volume on any disk     "\\nFATAL ERROR: No hard disk found" (the PC
                                  loads the boot system directly); a blank
                                  disk stays blank
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdrom_install import build_package, expect  # noqa: E402
from cdrom_menu_paths import end_with_enter  # noqa: E402
from disk_image_failures import mtools, refused  # noqa: E402
from disk_image_install import BANNER, make_image, package_dir, pattern  # noqa: E402
from testpc import TestPC, is_blank, make_disk_image  # noqa: E402


def main():
    with tempfile.TemporaryDirectory() as tmp:
        packages, _ = package_dir(tmp, blob=False)
        mbr = pattern(512, 3)

        # 51 packages: the builder takes 50, the 51st is added afterwards.
        many = os.path.join(tmp, "many")
        for i in range(50):
            build_package(many, "p%02d" % i, {"etc/p%02d" % i: b"x"})
        image = make_image(tmp, os.path.join(many, "packages"), "many.img", mbr=mbr)
        extra, _ = build_package(tmp, "p50", {"etc/p50": b"x"})
        mtools("mcopy", "-i", image, extra, "::/p50.vpk")
        text = refused("image_too_many", image,
                       "\nFATAL ERROR: too many packages on the volume (51, at most 50)\n")
        expect("Reading:" not in text, "packages were read")

        # 48 MiB of packages on a PC of 96 MiB, which leaves about 38 free.
        big, _ = build_package(os.path.join(tmp, "big"), "big",
                               {"var/big/data.bin": b"\0" * (48 << 20)})
        image = make_image(tmp, packages, "big.img", mbr=mbr, size_mib=80)
        mtools("mcopy", "-i", image, big, "::/big.vpk")
        text = refused("image_too_big", image,
                       "\nFATAL ERROR: not enough memory for the packages and the script (")
        expect("Reading:" not in text, "packages were read")

        blank = make_disk_image(os.path.join(tmp, "blank.img"), 100)
        with TestPC("image_no_volume", init_args=["-hdd-install"], disks=[blank]) as pc:
            pc.start()
            pc.expect(BANNER, 120)
            pc.expect("\nFATAL ERROR: No hard disk found\n", 60)
            end_with_enter(pc)
        expect(is_blank(blank), "no volume: the disk was written")
        print("ok: no FAT volume")
    print("disk_image_limits: ok")


if __name__ == "__main__":
    import testpc
    testpc.run_scenario(main)
