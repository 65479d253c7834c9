"""Test PC: every /TYPE that is not exactly "cdrom" or "net" runs the floppy
mode: "cdrom" with a trailing blank, "CDROM" in capitals, a longer word, an
empty line, no /TYPE at all. Only the dispatch is checked here: the floppy
mode's banner (the real mode, which with no disk ends in "no harddrives
found") or its not-built line; either way the machine waits for ENTER and
restarts."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testpc import ENTER, TestPC, run_scenario  # noqa: E402

BANNER = "Welcome to Brindlex Router Software floppy installation"
NO_DISK = "\nFATAL ERROR: no harddrives found"
STUB = "\nFATAL ERROR: the floppy-set installation is not part of this build\n"
OTHER_MODES = ["not part of this build", "CD-ROM", "network", "hard-disk image"]

CASES = [("trailing_blank", "cdrom \n"), ("capitals", "CDROM\n"), ("longer_word", "netx\n"),
         ("empty_line", "\n"), ("no_file", None)]


def check(name, type_text):
    with TestPC("spine_floppy_" + name, type_text=type_text) as pc:
        pc.start()
        pc.expect("Press ENTER to reboot", 120)
        text = pc.console_text()
        if BANNER in text:
            assert NO_DISK in text, "floppy mode without a disk did not stop at detection"
        else:
            assert STUB in text, "floppy mode not selected"
            for other in ("CD-ROM", "network", "hard-disk image"):
                assert other + " installation is not part" not in text, "wrong mode ran"
        pc.send(ENTER)
        pc.expect("\nRebooting...", 20)
        pc.wait_restart(30)
    print("ok:", name)


def main():
    for name, type_text in CASES:
        check(name, type_text)


run_scenario(main)
