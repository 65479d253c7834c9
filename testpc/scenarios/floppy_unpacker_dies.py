"""Test PC: the package unpacker of a floppy installation ends before it has
read anything. The boot system's /sbin/installer is replaced by a program
that exits at once; writing the first floppy's payload into its pipe fails
and the installation ends with "\\nFATAL ERROR: Installation error", then
"Press ENTER to reboot" and the restart. The unpacker's own complaint
appears on the console (its output is not sent to the log terminal)."""

import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testpc import ENTER, TestPC, make_disk_image, run_scenario  # noqa: E402


def main():
    host = os.environ["BRINDLEX_HOST_DIR"]
    floppies = os.path.join(host, "samples", "floppies")
    floppy = os.path.join(floppies, "brindlex.n00.img")
    assert os.path.exists(floppy), "sample floppy set not built: %s" % floppy
    parts = len([n for n in os.listdir(floppies) if n.endswith(".img")])
    with tempfile.TemporaryDirectory(prefix="testpc-unpacker-") as tmp:
        # A copy: the emulator locks its images, and other scenarios may be
        # using the built floppy at the same time.
        floppy = shutil.copy(floppy, tmp)
        disk = make_disk_image(os.path.join(tmp, "hda.img"), 400)
        with TestPC("floppy_unpacker_dies", disks=[disk], floppy=floppy,
                    broken_unpacker=True) as pc:
            run(pc, parts)


def run(pc, parts):
    """The operator's side: questions answered, the floppy given."""
    pc.start()
    pc.expect("Welcome to Brindlex Router Software floppy installation\n", 60)
    pc.expect("Found harddrive as IDE Primary master (disk C)\n", 60)
    pc.expect("Do you want to keep old configuration?  [y/n]:", 30)
    pc.send("n")
    pc.expect("Continue? [y/n]:", 30)
    pc.send("y")
    pc.expect("Formatting disk...", 60)
    pc.expect("Please insert 2nd installation floppy.\nPress ENTER when ready", 120)
    pc.send(ENTER)
    pc.expect("Installing part 1 of %d...\n" % parts, 60)
    pc.expect("\nFATAL ERROR: Installation error\n", 60)
    pc.expect("Press ENTER to reboot", 10)
    text = pc.console_text()
    assert "unpacker: gone" in text, "the unpacker's message did not reach the console"
    assert "Software installed." not in text, "an installation reported as done"
    assert text.count("Please insert") == 1, "another floppy was asked for"
    pc.send(ENTER)
    pc.expect("\nRebooting...", 20)
    pc.wait_restart(30)


run_scenario(main)
