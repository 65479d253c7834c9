#!/usr/bin/python3
"""Wall time of a local installation of the sample packages on the test PC,
from power-on to the restart: from the installation CD (booted through the
BIOS, all packages chosen in the menu) beside the floppy set (the boot
system loaded by the emulator, the sample floppies). The operator's
answers are typed as soon as each prompt appears. The two take turns, RUNS
times each; the medians and their ratio are printed.

    make host target bootsys
    BRINDLEX_BOOTSYS_DIR=build/bootsys BRINDLEX_HOST_DIR=build/host \\
        python3 bench/install_wall_time/install_wall_time.py [RUNS]
"""

import os
import shutil
import statistics
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "testpc"))
sys.path.insert(0, os.path.join(here, "..", "..", "testpc", "scenarios"))
from cdrom_install import boot_cd, install_and_restart, make_install_cd, menu_choice  # noqa: E402
from floppy_set_faults import boot  # noqa: E402
from floppy_set_install import answer_questions, feed_floppies, finish  # noqa: E402
from testpc import make_disk_image  # noqa: E402

ORDER = ["kernel", "system", "routing", "firewall", "webadmin"]


def cdrom_run(tmp, iso):
    disk = make_disk_image(os.path.join(tmp, "cd-hda.img"), 400)
    started = time.monotonic()
    with boot_cd("bench_cdrom", iso, [disk]) as pc:
        menu_choice(pc, "ai", ORDER, [])
        install_and_restart(pc, False, ORDER)
    return time.monotonic() - started


def floppy_run(tmp, floppies):
    disk = make_disk_image(os.path.join(tmp, "fd-hda.img"), 400)
    started = time.monotonic()
    pc = boot("bench_floppy", os.environ["BRINDLEX_BOOTSYS_DIR"], disk, floppies[0])
    try:
        answer_questions(pc, keep=False)
        feed_floppies(pc, floppies)
        finish(pc)
    finally:
        pc.close()
    return time.monotonic() - started


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    built = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples")
    with tempfile.TemporaryDirectory() as tmp:
        iso = make_install_cd(tmp, os.path.join(built, "packages"))
        floppies = sorted(shutil.copy(os.path.join(built, "floppies", n), tmp)
                          for n in os.listdir(os.path.join(built, "floppies"))
                          if n.endswith(".img"))
        times = {"cdrom": [], "floppy": []}
        for i in range(runs):
            # Turns alternate, so that neither always runs on a cooler machine.
            for kind in (("cdrom", "floppy") if i % 2 == 0 else ("floppy", "cdrom")):
                took = cdrom_run(tmp, iso) if kind == "cdrom" else floppy_run(tmp, floppies)
                times[kind].append(took)
                print("%-6s run %d: %.1f s" % (kind, i + 1, took), flush=True)
    cd, fd = statistics.median(times["cdrom"]), statistics.median(times["floppy"])
    print("median: CD-ROM %.1f s, floppy set %.1f s; CD-ROM / floppy = %.2f" % (cd, fd, cd / fd))


if __name__ == "__main__":
    main()
