"""Faults of a test PC's hardware: a drive that fails reads or writes (its
image opened through the emulator's blkdebug driver), a drive that
vanishes (its image taken away through the monitor), and the power cut
(the emulator killed, no warning to the machine).

A FaultyDrive stands where a TestPC takes an image path (`disks`,
`cdrom`). Its rules fail requests with EIO: at a chosen sector or
anywhere, reads or writes, once or always, from the start or only once
the scenario has armed the drive (`arm`, at a moment chosen by console
text), and optionally only after that many more writes have completed
(so a fault can fall just behind a step the scenario can see on the
disk, such as the boot record). The guest sees the error as the
disk's own: the IDE device reports it, the kernel's block layer retries
and gives up.

How arming works: the drive's blkdebug state starts at 1; `arm` makes
the emulator itself write zeroes to a sector no partition covers
(sector 1), a request the guest never makes (its IDE disk has no
write-zeroes command), and a rule on that event moves the state to 2.
Every completed write then moves it one further until the armed rules'
state is reached.
"""

import os
import signal

from .base import TestPCError, drive_path

# The sector the arming write goes to: inside the first track, before the
# first partition, never read or written by the installer.
ARM_SECTOR = 1
# A sector no disk of the test PC has.
NOWHERE_SECTOR = 1 << 40
# blkdebug's state before arming.
_UNARMED = 1


class FaultyDrive:
    """An image with fault rules. rules: from `fail(...)`; the config file
    is written next to the image (image + ".blkdebug")."""

    def __init__(self, image, *rules):
        self.image = image
        self.rules = list(rules)
        self.config = image + ".blkdebug"

    def __bool__(self):
        return True

    def armed_state(self, rule):
        # 2 once armed, plus one for the arming write's own completion and
        # one per completed write the rule waits for.
        if rule["until_armed"]:
            return _UNARMED
        return _UNARMED + 2 + rule["after"] if rule["armed"] else None

    def write_config(self):
        sections = []
        last = max([self.armed_state(r) or 0 for r in self.rules] + [_UNARMED + 1])
        if any(r["armed"] or r["until_armed"] for r in self.rules):
            sections.append(_section("set-state", event="pwritev_zero", state=_UNARMED,
                                     new_state=_UNARMED + 1))
            for state in range(_UNARMED + 1, last):
                sections.append(_section("set-state", event="pwritev_done", state=state,
                                         new_state=state + 1))
        for rule in self.rules:
            fields = {"event": "read_aio" if rule["io"] == "read" else "write_aio",
                      "iotype": rule["io"], "errno": 5,
                      "once": "on" if rule["once"] else "off", "immediately": "off"}
            if rule["sector"] is not None:
                fields["sector"] = rule["sector"]
            if rule["armed"] or rule["until_armed"]:
                fields["state"] = self.armed_state(rule)
            sections.append(_section("inject-error", **fields))
            if rule["until_armed"]:
                # A rule once taken up stays in force until another rule
                # of its event is: one for a sector nobody reads, after
                # the arming, lifts it.
                fields.update(state=_UNARMED + 1, sector=NOWHERE_SECTOR)
                sections.append(_section("inject-error", **fields))
        with open(self.config, "w") as f:
            f.write("\n".join(sections))
        return self.config

    def drive_options(self):
        """The -drive options after "if=ide,index=N,media=M" that open the
        image through blkdebug with these rules; errors are reported to the
        guest (not a paused machine)."""
        return (",format=raw,file.driver=blkdebug,file.config=%s,file.image.filename=%s"
                ",werror=report,rerror=report" % (drive_path(self.write_config()),
                                                  drive_path(self.image)))


def fail(io="write", sector=None, once=False, armed=False, after=0, until_armed=False):
    """One fault rule: requests of kind io ("read" or "write") that touch
    sector (512-byte units; None: every request) fail with EIO; once: only
    the first such request (the kernel's retry then succeeds), otherwise
    every one; armed: only after `arm` and `after` more completed writes;
    until_armed: only until `arm` (a fault that goes away)."""
    if io not in ("read", "write"):
        raise TestPCError("io must be read or write")
    if armed and until_armed:
        raise TestPCError("a rule is either armed or until_armed")
    return {"io": io, "sector": sector, "once": once, "armed": armed, "after": after,
            "until_armed": until_armed}


def _section(kind, **fields):
    return "[%s]\n%s\n" % (kind, "\n".join('%s = "%s"' % (k, v) for k, v in fields.items()))


def drive_id(position):
    """The emulator's name of the drive at an IDE position ("hda")."""
    return "drive-" + position


def arm(pc, position="hda"):
    """Arms the armed rules of the FaultyDrive at position."""
    import time
    done = "wrote 512/512 bytes at offset %d" % (ARM_SECTOR * 512)
    seen = pc._qemu_stderr().count(done)
    out = pc.monitor('qemu-io %s "write -z %d 512"' % (drive_id(position), ARM_SECTOR * 512))
    # The monitor's qemu-io reports on the emulator's own output.
    deadline = time.monotonic() + 10
    while pc._qemu_stderr().count(done) == seen:
        if time.monotonic() > deadline:
            raise TestPCError("%s: arming %s failed: %r" % (pc.name, position, out))
        time.sleep(0.01)


def arm_at(pc, text, timeout=120, position="hda"):
    """Waits for text on the console, then arms the drive at position;
    returns what came before the text."""
    before = pc.expect(text, timeout)
    arm(pc, position)
    return before


def detach_drive(pc, position="hda"):
    """The drive vanishes: its image is taken from the IDE device, which
    from then on fails every request (an IDE disk cannot be unplugged)."""
    out = pc.monitor("drive_del " + drive_id(position))
    if out.strip():
        raise TestPCError("%s: drive_del %s: %r" % (pc.name, position, out))


def cut_power(pc):
    """The power goes: the emulator is killed at once, without a word to
    the machine (what its disks hold is what reached them)."""
    if pc.process is None or pc.process.poll() is not None:
        raise TestPCError("%s: the machine was not running at the power cut" % pc.name)
    os.kill(pc.process.pid, signal.SIGKILL)
    pc.process.wait()
    pc.verdict = "power cut"


def cut_power_at(pc, text, timeout=120, delay=0.0):
    """Waits for text on the console, then delay seconds more, then cuts
    the power; returns what came before the text."""
    import time
    before = pc.expect(text, timeout)
    if delay:
        time.sleep(delay)
    cut_power(pc)
    return before
