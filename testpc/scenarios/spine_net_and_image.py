"""Test PC: /TYPE "net" runs the network client; "-hdd-install" among init's
arguments runs the image mode even with /TYPE "cdrom". Both modes wait for
ENTER only when they failed (the network client finds no network card on a
PC without one, before it looks for a disk; the image mode finds no FAT
volume on a PC without disks)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testpc import ENTER, TestPC, run_scenario  # noqa: E402

NO_CARD = "Welcome to Brindlex Router Software remote installation\n" \
    "Press Ctrl-Alt-Delete to abort\n\nFATAL ERROR: no network card found\n"
NO_VOLUME = "\nFATAL ERROR: No hard disk found\n"
# The CD-ROM mode's first step; the image mode without a volume never gets there.
CDROM_MODE = "Looking for harddrives"


def run(name, expected, **config):
    with TestPC(name, **config) as pc:
        pc.start()
        pc.expect("Press ENTER to reboot", 60)
        text = pc.console_text()
        assert expected in text, "wrong mode (want %r)" % expected
        assert CDROM_MODE not in text, "the CD-ROM mode ran"
        pc.send(ENTER)
        pc.expect("\nRebooting...", 20)
        pc.wait_restart(30)
    print("ok:", name)


def main():
    run("spine_net", NO_CARD, type_text="net\n")
    run("spine_hdd_install", NO_VOLUME, type_text="cdrom\n", init_args=["-hdd-install"])
    # Among other arguments, and /TYPE without a newline.
    run("spine_hdd_install_second_arg", NO_VOLUME, type_text="cdrom",
        init_args=["-x", "-hdd-install"])


run_scenario(main)
