"""Test PC: the floppy set started from its boot CD, as on a PC that cannot
boot a floppy (no kernel of today fits one).

`brindlex-make-cd --boot-only floppy` makes the small boot CD (the boot
system alone, /TYPE "floppy"). The PC's BIOS boots it, the serial entry is
typed at the "boot:" prompt and the floppy-set installation comes up: a
blank disk, n to keeping the configuration, y to erasing, then every data
floppy of the sample set swapped in when asked, the check, the restart. The
disk then holds the sample packages and boots by itself into the installed
system, which reports them.
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from floppy_set_faults import expect  # noqa: E402
from floppy_set_install import (DISK_BYTES, answer_questions, check_installed,  # noqa: E402
                                feed_floppies, finish, sample_package_names)
from remote_install import host_program, samples_source  # noqa: E402
from testpc import TestPC, boot_installed_disk, run_scenario  # noqa: E402


def main():
    built = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "samples")
    with tempfile.TemporaryDirectory(prefix="floppy-boot-cd-") as tmp:
        iso = os.path.join(tmp, "floppy-boot.iso")
        subprocess.run([host_program("brindlex-make-cd"), "--boot-only", "floppy",
                        os.environ["BRINDLEX_BOOTSYS_DIR"], iso], check=True,
                       stdout=subprocess.DEVNULL)
        # Copies: the emulator locks the images it uses.
        folder = os.path.join(built, "floppies")
        images = [shutil.copy(os.path.join(folder, n), tmp)
                  for n in sorted(os.listdir(folder)) if n.endswith(".img")]
        disk = os.path.join(tmp, "hda.img")
        with open(disk, "wb") as f:
            f.truncate(DISK_BYTES)
        with TestPC("floppy_boot_cd", disks=[disk], cdrom=iso, boot_from="cdrom",
                    memory_mb=256) as pc:
            pc.start()
            pc.boot_entry("serial")
            answer_questions(pc, keep=False)
            feed_floppies(pc, images)
            finish(pc)
            expect("ERROR" not in pc.console_text(), "an error line on the console")
        check_installed(disk, samples_source(), kept=False)
        system = boot_installed_disk(disk, name="floppy_boot_cd-up")
        names = sample_package_names(samples_source())
        expect(system.packages == sorted(names), "the installed system reports %r" % system)


if __name__ == "__main__":
    run_scenario(main)
