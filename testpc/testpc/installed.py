"""The last step of an installation scenario: the installed disk boots on
a test PC, and the installed sample system says what it found."""

from .base import TestPCError
from .pc import DEFAULT_MEMORY_MB, TestPC



# The installed sample system's line on the console (samples/system/sbin/init).
SYSTEM_LINE = "Brindlex router system running on "
# What the master boot record's boot program prints when it cannot go on,
# and what the BIOS says when the disk has no boot record at all.
BOOT_FAILURES = ("Missing operating system", "Error loading operating system",
                 "No bootable device")


class InstalledSystem:
    """What the installed sample system said about itself once booted:
    `root` ("/dev/hda1"), `root_type` ("ext2" or "ext3"), `packages` and
    `kept_configuration` (lists of names, sorted; empty for "none"),
    `line` (the whole line) and `console` (the boot's console text)."""

    def __init__(self, line, console):
        self.line = line
        self.console = console
        parts = line[len(SYSTEM_LINE):].split("; ")
        fields = {}
        for part in parts[1:]:
            key, _, value = part.partition(": ")
            fields[key] = value
        try:
            self.root, kind = parts[0].split(" ")
            self.root_type = kind.strip("()")
            self.packages = _names(fields["packages"])
            self.kept_configuration = _names(fields["kept configuration"])
        except (KeyError, ValueError):
            raise TestPCError("the installed system's line is not understood: %r" % line)

    def __repr__(self):
        return "InstalledSystem(%r)" % self.line


def _names(text):
    return [] if text == "none" else sorted(text.split(" "))


def boot_installed_disk(disks, name="installed-disk", timeout=300, memory_mb=DEFAULT_MEMORY_MB):
    """Restarts a PC from its installed first disk, the way a real PC comes
    up after the installer's restart: the BIOS runs the boot program in
    sector 0, which starts the active partition's boot loader, which starts
    the installed kernel. disks is one image path or the TestPC disks list.
    Waits for the installed sample system's line and for the machine to
    power itself off, and returns an InstalledSystem. Raises TestPCError
    (the transcript goes to stderr) when the disk does not boot: a boot
    program's message, a crash, a hang or a restart instead of a power-off."""
    if isinstance(disks, str):
        disks = [disks]
    with TestPC(name, disks=disks, boot_from="disk", memory_mb=memory_mb) as pc:
        pc.start()
        i, _ = pc.expect_any([SYSTEM_LINE] + list(BOOT_FAILURES), timeout)
        if i != 0:
            raise TestPCError("%s: the installed disk does not boot: %r" % (name, BOOT_FAILURES[i - 1]))
        rest = pc.expect("\n", 30)
        verdict = pc.wait_end(120)
        if not pc.powered_off():
            raise TestPCError("%s: the installed system did not power off (%s)"
                              % (name, verdict or "still running"))
        return InstalledSystem(SYSTEM_LINE + rest.rstrip("\r"), pc.console_text())

