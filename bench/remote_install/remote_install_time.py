#!/usr/bin/python3
"""Wall time of a remote installation between two test PCs beside a CD-ROM
installation of the same packages on one PC, in the same run.

For each package set (the sample packages; the samples and a package of
random bytes that make about 20 MB) the script measures, from power-on to
the restart of the installed PC:

- cdrom: the installation CD booted through the BIOS, every package chosen,
  installed locally (n, y);
- remote: a router PC (/TYPE "net", a blank disk) installed by a server PC
  that booted the same CD and waits in its menu ('r', the router, n and the
  four answers, a key at the end); once on a clean segment, once through a
  relay that drops 5 % of the frames both ways.

The server's own boot is not counted. The ratios remote / cdrom are printed.

    make host target bootsys
    BRINDLEX_BOOTSYS_DIR=build/bootsys BRINDLEX_HOST_DIR=build/host \\
        python3 bench/remote_install/remote_install_time.py [RUNS]
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
from cdrom_install import UNPACKER_LINE, boot_cd, build_package, make_install_cd  # noqa: E402
from floppy_set_faults import expect  # noqa: E402
from remote_install import (CABLED_MAC, LABEL, answer_questions, label_floppy,  # noqa: E402
                            pick_router, router_pc, server_cd_pc)
from testpc import ENTER, Segment, make_disk_image  # noqa: E402

# Random bytes do not shrink: the sample set (about 14 MB) grows to 20 MB.
BLOB_SIZE = 6 * 1024 * 1024


def choose_all(pc):
    pc.expect("system (depends on kernel):", 120)
    pc.send("a")


def check_complete(pc, count):
    """Every package went whole through its own unpacker run."""
    runs = UNPACKER_LINE.findall(pc.console_text())
    expect(len(runs) == count and all(d == t for _, d, t in runs), "unpacker runs %r" % runs)


def cdrom_run(tmp, iso, count):
    disk = make_disk_image(os.path.join(tmp, "cd-hda.img"), 400)
    started = time.monotonic()
    with boot_cd("bench_cdrom", iso, [disk]) as pc:
        pc.expect("Welcome to Brindlex Router Software installation", 120)
        choose_all(pc)
        pc.send("i")
        pc.expect("Do you want to keep old configuration?  [y/n]:", 60)
        pc.send("n")
        pc.expect("Continue? [y/n]:", 30)
        pc.send("y")
        pc.expect("\nSoftware installed.\n", 1800)
        check_complete(pc, count)
        pc.expect("Press ENTER to reboot", 30)
        pc.send(ENTER)
        pc.wait_restart(60)
    return time.monotonic() - started


def remote_runs(tmp, iso, runs, drop, count):
    """runs remote installations through one server PC on a segment with
    drop percent loss; their wall times."""
    times = []
    floppy = label_floppy(tmp)
    server_disk = make_disk_image(os.path.join(tmp, "server.img"), 100)
    with Segment("bench%d" % drop, ports=2, seed=7, drop=drop) as segment:
        with server_cd_pc("bench_server", iso, server_disk, segment) as server:
            server.expect("Welcome to Brindlex Router Software installation", 120)
            for _ in range(runs):
                choose_all(server)
                disk = make_disk_image(os.path.join(tmp, "router.img"), 400)
                started = time.monotonic()
                with router_pc("bench_router", disk, segment, floppy) as router:
                    pick_router(server, CABLED_MAC, LABEL)
                    answer_questions(server, keep=False)
                    router.expect("\nSoftware installed.\nPress ENTER to reboot\n", 1800)
                    check_complete(router, count)
                    server.expect("Press ENTER to reboot\n", 120)
                    server.send("x")
                    router.wait_restart(120)
                    times.append(time.monotonic() - started)
    return times


def measure(tmp, name, packages, runs):
    iso = make_install_cd(tmp, packages, name + ".iso")
    size = sum(os.path.getsize(os.path.join(packages, f)) for f in os.listdir(packages))
    count = len(os.listdir(packages))
    cd = [cdrom_run(tmp, iso, count) for _ in range(runs)]
    clean = remote_runs(tmp, iso, runs, 0, count)
    lossy = remote_runs(tmp, iso, runs, 5, count)
    cd_m, clean_m, lossy_m = (statistics.median(t) for t in (cd, clean, lossy))
    print("%s (%.1f MB): CD-ROM %.1f s, remote %.1f s, remote with 5 %% loss %.1f s; "
          "remote / CD-ROM = %.2f, with loss %.2f" %
          (name, size / 1e6, cd_m, clean_m, lossy_m, clean_m / cd_m, lossy_m / cd_m), flush=True)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    built = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples", "packages")
    with tempfile.TemporaryDirectory() as tmp:
        samples = os.path.join(tmp, "samples")
        shutil.copytree(built, samples)
        measure(tmp, "sample packages", samples, runs)
        build_package(tmp, "blob", {"var/blob/data.bin": os.urandom(BLOB_SIZE)})
        shutil.copy(os.path.join(tmp, "packages", "blob.vpk"), samples)
        measure(tmp, "20 MB set", samples, runs)


if __name__ == "__main__":
    main()
