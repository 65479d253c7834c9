"""Test PC: a PC without /dev/tty0 has only the serial console: every prompt
appears on ttyS0 and child programs' output goes to /dev/null, so nothing at
all reaches the log terminal (/sbin/insmod's lines included)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testpc import ENTER, TestPC, run_scenario  # noqa: E402


def main():
    with TestPC("spine_serial_only", type_text="cdrom\n", serial_only=True) as pc:
        pc.start()
        pc.expect("\nFATAL ERROR: no harddrives found", 60)
        pc.expect("Press ENTER to reboot", 10)
        pc.send(ENTER)
        pc.expect("\nRebooting...", 20)
        pc.wait_restart(30)
        assert pc.log == "", "the log terminal got %r" % pc.log


run_scenario(main)
