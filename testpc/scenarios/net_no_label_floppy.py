"""Test PC: a router booted for the network installation (/TYPE "net", the
serial console) with no label floppy: one PC whose floppy drive is empty,
one that has no floppy drive at all. Each finds its disk, shows its MAC
address and the disk label "brindlex" within a few seconds of "Found
harddrive", and waits for an installation server.

The floppy set keeps the drive's disk-change line distrusted for its swaps
(floppy_set_install.py); had the network installation kept it too, the
empty drive would hold the label read for minutes.
"""

import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from floppy_set_faults import expect  # noqa: E402
from testpc import TestPC, make_disk_image, run_side_by_side, run_scenario  # noqa: E402

PROCESSORS = 2
# What "a few seconds" is on a loaded TCG host: the label read itself
# takes a tenth of a second; the distrusted line took minutes.
LABEL_SECONDS = 10


def label_after_disk(tmp, name, mac, floppy_drive):
    disk = make_disk_image(os.path.join(tmp, name + ".img"), 100)
    with TestPC(name, type_text="net\n", disks=[disk], floppy_drive=floppy_drive,
                nics=[("e1000", mac.lower())]) as pc:
        pc.start()
        pc.expect("Found harddrive as IDE Primary master (disk C)\n", 180)
        found = time.monotonic()
        shown = pc.expect("disk label: brindlex\n", LABEL_SECONDS)
        seconds = time.monotonic() - found
        expect("mac-address: %s\n" % mac in shown, "no MAC address line: %r" % shown)
        pc.expect("Waiting for installation server...", 10)
        print("ok: %s: disk label %.1f s after the disk" % (name, seconds))
        return seconds


def main():
    with tempfile.TemporaryDirectory(prefix="net-no-label-") as tmp:
        run_side_by_side(
            lambda: label_after_disk(tmp, "net_empty_drive", "52:54:00:00:0D:01", True),
            lambda: label_after_disk(tmp, "net_no_drive", "52:54:00:00:0D:02", False))


if __name__ == "__main__":
    run_scenario(main)
