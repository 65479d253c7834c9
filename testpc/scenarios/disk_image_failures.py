"""Test PC: the hard-disk image installation refuses, before it writes
anything, what it cannot install. Each image is one that
brindlex-make-disk-image made, changed afterwards with mtools where the
builder itself would refuse; the PC boots from it through its BIOS.

  "mbr" missing                 "\\nFATAL ERROR: Couldn't open mbr file"
  "mbr" of 511 bytes            "\\nFATAL ERROR: Couldn't read mbr file"
  "autorun.scr" missing         "\\nFATAL ERROR: could not read configuration"
  "CHOOSE", 'q'                 "Installation canceled"
  "CHOOSE", 'r', q, q            the router list (no router on the network),
                                  the menu again, "Installation canceled"

Each ends with "Press ENTER to reboot"; the image's first sector and its
files are as they were (the disk not partitioned). The limits of the
installation are in disk_image_limits.py.
"""

import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cdrom_install import expect  # noqa: E402
from cdrom_menu_paths import end_with_enter, leave_empty_router_list  # noqa: E402
from disk_image_install import boot_image, make_image, package_dir, pattern  # noqa: E402



def mtools(*args):
    subprocess.run(list(args), check=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"),
                   stdout=subprocess.DEVNULL)


def volume_state(image):
    """The first sector and the listing of the volume."""
    with open(image, "rb") as f:
        sector = f.read(512)
    listing = subprocess.run(["mdir", "-a", "-b", "-i", image, "::/"], capture_output=True,
                             env=dict(os.environ, MTOOLS_SKIP_CHECK="1")).stdout
    return sector, listing


def refused(name, image, message, memory_mb=96, operate=None):
    """Boots the image, lets operate(pc) type at the menu, waits for message
    and the ENTER prompt, restarts; the volume must be as it was."""
    before = volume_state(image)
    with boot_image(name, image, memory_mb) as pc:
        if operate:
            pc.expect("system (depends on kernel):", 60)
            operate(pc)
        pc.expect(message, 300)
        end_with_enter(pc)
        text = pc.console_text()
    expect("Creating partition" not in text and "Looking for harddrives" not in text,
           "%s: the disk steps ran" % name)
    expect(volume_state(image) == before, "%s: the volume changed" % name)
    print("ok:", name)
    return text


def remote_and_back(pc):
    """'r', the router list with no router in it, 'q' back to the menu, 'q'."""
    leave_empty_router_list(pc)
    pc.expect("Welcome to Brindlex Router Software installation", 60)
    pc.expect("system (depends on kernel):", 60)
    pc.send("q")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        packages, _ = package_dir(tmp, blob=False)
        mbr = pattern(512, 3)

        image = make_image(tmp, packages, "no-mbr.img", mbr=mbr)
        mtools("mdel", "-i", image, "::/mbr")
        refused("image_no_mbr", image, "\nFATAL ERROR: Couldn't open mbr file\n")

        image = make_image(tmp, packages, "short-mbr.img", mbr=mbr)
        short = os.path.join(tmp, "mbr511")
        with open(short, "wb") as f:
            f.write(mbr[:511])
        mtools("mcopy", "-o", "-i", image, short, "::/mbr")
        refused("image_short_mbr", image, "\nFATAL ERROR: Couldn't read mbr file\n")

        image = make_image(tmp, packages, "no-script.img", mbr=mbr)
        mtools("mdel", "-i", image, "::/autorun.scr")
        refused("image_no_script", image, "\nFATAL ERROR: could not read configuration\n")

        image = make_image(tmp, packages, "choose.img")
        refused("image_choose_cancel", image, "Installation canceled\n",
                operate=lambda pc: pc.send("q"))
        refused("image_choose_remote", image, "Installation canceled\n", operate=remote_and_back)
    print("disk_image_failures: ok")


if __name__ == "__main__":
    import testpc
    testpc.run_scenario(main)
