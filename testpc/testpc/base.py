"""What every part of the test PC shares: the errors a scenario step
raises, the keys an operator types, and where the builds are."""

import os

ENTER = "\r"  # what a serial terminal sends for the ENTER key
CTRL_C = "\x03"
BELL = "\x07"

# The source tree: testpc/testpc/base.py is two folders below it.
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class TestPCError(AssertionError):
    """A scenario step failed; the message says which."""


class Timeout(TestPCError):
    """The expected text or end did not come in time."""


class Crashed(TestPCError):
    """The machine ended in a kernel panic (for instance init exited)."""


def bootsys_dir():
    """The boot system's folder from BRINDLEX_BOOTSYS_DIR (fails if unset)."""
    path = os.environ.get("BRINDLEX_BOOTSYS_DIR")
    if not path:
        raise TestPCError("BRINDLEX_BOOTSYS_DIR is not set")
    return path


def host_dir():
    """The host build (brindlex-relay, brindlex-netpeer): BRINDLEX_HOST_DIR,
    else build/host of the source tree."""
    return os.environ.get("BRINDLEX_HOST_DIR") or os.path.join(SOURCE_DIR, "build", "host")


def drive_path(path):
    """An image path as the emulator's option lists take it (no commas)."""
    path = os.path.abspath(path)
    if "," in path:
        raise TestPCError("image path must not contain a comma: " + path)
    return path
