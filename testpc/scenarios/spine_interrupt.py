"""Test PC: Ctrl-C typed on the serial console.

Before the mode has returned (here while /sbin/insmod loads "hid" at
start-up) it aborts: "\\n\\nInstallation aborted", "Press ENTER to reboot",
ENTER, restart. After the mode has returned (at "Press ENTER to reboot") it
prints nothing: the interrupted read counts as end of input and the machine
reboots. Ctrl-Alt-Del restarts at once through the kernel."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testpc import CTRL_C, ENTER, TestPC, run_scenario  # noqa: E402


def before_mode():
    with TestPC("spine_interrupt_before", type_text="cdrom\n", insmod_hold="hid") as pc:
        pc.start()
        pc.expect_log("testpc-insmod hid held", 60)
        pc.send(CTRL_C)
        pc.expect("Press ENTER to reboot", 20)
        # The terminal echoes the key as ^C, at whatever point of the
        # installer's own output its echo happens to land.
        text = pc.console_text().replace("^C", "")
        assert "\n\nInstallation aborted\nPress ENTER to reboot" in text, "printed %r" % text
        assert "Looking for harddrives" not in text, "the mode ran after the abort"
        pc.send(ENTER)
        pc.wait_restart(30)
        assert "Rebooting..." not in pc.console_text()
    print("ok: interrupt before the mode returned")


def after_mode():
    with TestPC("spine_interrupt_after", type_text="cdrom\n") as pc:
        pc.start()
        pc.expect("Press ENTER to reboot", 60)
        # Give the installer time to be inside its read: a Ctrl-C typed
        # before that only empties the terminal's input.
        pc.quiet(1.0)
        pc.send(CTRL_C)
        between = pc.expect("Rebooting...", 20)
        # The terminal may echo the key as ^C; besides the show-cursor
        # sequence of the normal ending the installer adds nothing.
        rest = between.replace("^C", "").replace("\x1b[?25h", "")
        assert rest.strip() == "", "printed %r" % between
        assert "Installation aborted" not in pc.console_text()
        pc.wait_restart(30)
    print("ok: interrupt after the mode returned")


def ctrl_alt_del():
    with TestPC("spine_ctrl_alt_del", type_text="cdrom\n") as pc:
        pc.start()
        pc.expect("Press ENTER to reboot", 60)
        pc.monitor("sendkey ctrl-alt-delete")
        pc.wait_restart(30)
        assert "Rebooting..." not in pc.console_text()
    print("ok: Ctrl-Alt-Del")


def main():
    before_mode()
    after_mode()
    ctrl_alt_del()


run_scenario(main)
