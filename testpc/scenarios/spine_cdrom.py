"""Test PC: /TYPE "cdrom" followed by a newline selects the CD-ROM mode (on a
PC without disks it ends at the disk search, before looking for the CD); the
kernel module list reaches /sbin/insmod in order, missing modules ignored;
"Press ENTER to reboot" ends only with ENTER, other keys ring the bell."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testpc import BELL, ENTER, TestPC, run_scenario  # noqa: E402

KERNEL_MODULES = ["fat", "vfat", "isofs", "cdrom", "ide-cd", "usbcore", "usb-uhci", "usb-ohci",
                  "hid"]
NO_DISK = "\nFATAL ERROR: no harddrives found\n"


def main():
    with TestPC("spine_cdrom", type_text="cdrom\n") as pc:
        pc.start()
        pc.expect("Press ENTER to reboot", 60)
        assert "Looking for harddrives..." in pc.console_text(), "CD-ROM mode not selected"
        assert NO_DISK in pc.console_text(), "no disk error"
        assert "floppy installation" not in pc.console_text(), "the floppy mode ran"
        assert "CD-ROM found" not in pc.console_text(), "the CD-ROM was looked for"

        # Every module asked for once, in order; missing ones did not stop it.
        assert pc.insmod_requests() == KERNEL_MODULES, pc.insmod_requests()
        assert "testpc-insmod fat loaded" in pc.log, "fat not loaded"
        assert "testpc-insmod ide-cd failed" in pc.log, "ide-cd should be unknown"

        # Keys other than ENTER do not end the wait; each rings the bell
        # once the terminal hands the typed line over.
        pc.send("x")
        pc.send(" ")
        pc.quiet(1.5)
        assert "Rebooting..." not in pc.console_text(), "a key other than ENTER ended the wait"
        assert pc.wait_end(0) is None, "restarted before ENTER"

        pc.send(ENTER)
        pc.expect(BELL, 10)
        pc.expect(BELL, 10)
        pc.expect("\nRebooting...", 20)
        pc.wait_restart(30)


run_scenario(main)
