#!/usr/bin/python3
"""The memory the hard-disk image installation needs on the test PC for a
volume: the sample packages and a filler package of FILLER MiB on an image
made by brindlex-make-disk-image, installed unattended. A bisection over the
PC's memory finds the least that installs; beside it stand the figure the
builder prints ("needs at least N MiB") and the installer's own refusal
below that. A run that crashes (the kernel's out-of-memory killer ending the
installer) means the installer let through a volume that did not fit.

    make host target bootsys
    BRINDLEX_BOOTSYS_DIR=build/bootsys BRINDLEX_HOST_DIR=build/host \\
        python3 bench/image_memory/image_memory.py [FILLER_MIB [IMAGE_MIB]]
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "testpc"))
sys.path.insert(0, os.path.join(here, "..", "..", "testpc", "scenarios"))
from cdrom_install import build_package, host_program  # noqa: E402
from disk_image_install import package_dir, pattern  # noqa: E402
from testpc import TestPC  # noqa: E402


def install(image, memory_mb):
    """'installed', 'refused' or 'crashed', and the refusal's text."""
    with TestPC("image_memory", disks=[image], boot_from="disk", memory_mb=memory_mb) as pc:
        pc.start()
        pc.boot_entry("serial")
        try:
            i, _ = pc.expect_any(["Software installed.\n", "Press ENTER to reboot"], 900)
        except Exception:  # noqa: BLE001 - a crash or a hang is the answer
            return "crashed", ""
        if i == 0:
            return ("installed" if pc.wait_end(60) == "restarted" else "crashed"), ""
        refusal = re.search(r"FATAL ERROR: not enough memory[^\n]*", pc.console_text())
        return "refused", refusal.group(0) if refusal else pc.console_text()[-300:]


def main():
    filler = int(sys.argv[1]) if len(sys.argv) > 1 else 32
    size = int(sys.argv[2]) if len(sys.argv) > 2 else filler + 64
    with tempfile.TemporaryDirectory() as tmp:
        packages, _ = package_dir(tmp, blob=False)
        build_package(tmp, "filler", {"var/filler": b"\0" * (filler << 20)})
        script = os.path.join(tmp, "autorun.scr")
        with open(script, "w") as f:
            f.write("/system identity set name=bench\n")
        mbr = os.path.join(tmp, "mbr")
        with open(mbr, "wb") as f:
            f.write(pattern(512, 5))
        image = os.path.join(tmp, "volume.img")
        made = subprocess.run([host_program("brindlex-make-disk-image"), "--size", str(size),
                               "--script", script, "--mbr", mbr, packages,
                               os.environ["BRINDLEX_BOOTSYS_DIR"], image],
                              check=True, capture_output=True, text=True).stdout
        stated = int(re.search(r"needs at least (\d+) MiB", made).group(1))
        held = sum(os.path.getsize(os.path.join(packages, p)) for p in os.listdir(packages))
        held += os.path.getsize(script)
        print("volume: %d MiB image, %.1f MiB of packages and script; the builder states %d MiB"
              % (size, held / 2**20, stated), flush=True)

        crashes = []
        low, high = 48, stated + 16  # low refuses or crashes, high installs
        outcome, _ = install(shutil.copy(image, os.path.join(tmp, "run.img")), high)
        if outcome != "installed":
            sys.exit("the stated figure + 16 MiB does not install: %s" % outcome)
        while high - low > 1:
            middle = (low + high) // 2
            started = time.monotonic()
            outcome, refusal = install(shutil.copy(image, os.path.join(tmp, "run.img")), middle)
            print("  %4d MiB: %-9s %5.0f s %s" % (middle, outcome, time.monotonic() - started,
                                                   refusal), flush=True)
            if outcome == "crashed":
                crashes.append(middle)
            if outcome == "installed":
                high = middle
            else:
                low = middle
    print("least memory that installs: %d MiB; the builder states %d MiB (stated / least = "
          "%.2f); crashes: %s" % (high, stated, stated / high, crashes or "none"))


if __name__ == "__main__":
    main()
