"""Test PC: the floppy-set installation meets every kind of bad floppy.

One boot with no /TYPE and a blank 400 MB IDE disk. The operator answers n
to keeping the configuration and y to erasing, then, when the 2nd
installation floppy is asked for, offers in turn:

  the set's 3rd floppy           "Wrong floppy!"
  no floppy at all               "ERROR: No floppy, or bad floppy"
  the right floppy with two bad  bad floppy (the first floppy read: taken
    blocks in one group            whatever its set, refused for the damage)
  a floppy of another set        bad floppy (its header becomes the reference)
  the right floppy with one      refused once for the other set's reference,
    bad block in three groups      then repaired: "Recovering bad block #N"
                                   on the log terminal (the second serial port)

The payload of the set is not a package, so the unpacker gives up on it and
the write into its pipe fails: "FATAL ERROR: Installation error", then
"Press ENTER to reboot" and the restart.

  python3 floppy_set_faults.py BOOTSYS_DIR FLOPPYSET_PROGRAM
"""

import os
import random
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import floppy_test_pc as tp  # noqa: E402


def make_set(floppyset, out, payload, set_id, damage=()):
    os.makedirs(out)
    args = [floppyset, "--set-id", str(set_id)]
    for d in damage:
        args += ["--damage", d]
    subprocess.run(args + [payload, out], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return lambda part: os.path.join(out, "brindlex.n%02d.img" % part)


def main():
    bootsys, floppyset = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        payload = os.path.join(tmp, "payload")
        with open(payload, "wb") as f:
            f.write(random.Random(5).randbytes(2 * 1391280 + 1000))  # three floppies
        good = make_set(floppyset, os.path.join(tmp, "good"), payload, 1001,
                        ["0:0:3", "0:7:0", "0:20:30"])
        broken = make_set(floppyset, os.path.join(tmp, "broken"), payload, 1001,
                          ["0:5:1", "0:5:2"])
        other = make_set(floppyset, os.path.join(tmp, "other"), payload, 2002)
        disk = os.path.join(tmp, "hda.img")
        with open(disk, "wb") as f:
            f.truncate(400 * 1000 * 1000)

        pc = tp.TestPC(bootsys, disk, tmp, good(1))
        try:
            pc.expect("Welcome to Brindlex Router Software floppy installation")
            pc.expect("Found harddrive as IDE Primary master (disk C)")
            pc.expect("Do you want to keep old configuration?  [y/n]:")
            pc.send("n")
            pc.expect("Warning: all data on the disk will be erased!")
            pc.expect("Continue? [y/n]:")
            pc.send("y")
            pc.expect("Formatting disk...", timeout=120)

            pc.expect("Please insert 2nd installation floppy.\n", timeout=300)
            pc.expect("Press ENTER when ready")
            pc.insert(good(1))
            pc.send("\r")
            pc.expect("Wrong floppy!\n")
            pc.expect("Please insert 2nd installation floppy.")

            pc.eject()
            pc.send("\r")
            pc.expect("ERROR: No floppy, or bad floppy\n", timeout=300)
            pc.expect("Please insert 2nd installation floppy.")

            for image in (broken(0), other(0), good(0)):
                pc.insert(image)
                pc.send("\r")
                pc.expect("ERROR: bad floppy, please replace it.\n", timeout=120)
                pc.expect("Please insert 2nd installation floppy.")

            pc.insert(good(0))
            pc.send("\r")
            pc.expect("Installing part 1 of 3...\n", timeout=120)
            pc.expect("\nFATAL ERROR: Installation error\n", timeout=120)
            pc.expect("Press ENTER to reboot")
            pc.send("\r")
            pc.expect("Rebooting...")
            pc.wait_power_off()

            console = pc.console()
            tp.expect(console.count("Installing part 1 of 3...") == 2,
                      "the damaged and the repaired floppy show their part line")
            tp.expect(console.count("ERROR: bad floppy, please replace it.") == 3,
                      "three bad floppies")
            tp.expect("Please insert 3rd" not in console, "a later floppy was asked for")
            log = pc.log_terminal()
            repairs = [l for l in log.splitlines() if l.startswith("Recovering bad block #")]
            tp.expect(repairs == ["Recovering bad block #3", "Recovering bad block #0",
                                  "Recovering bad block #30"],
                      "repair lines on the log terminal: %r" % repairs)
        except tp.CheckFailed:
            sys.stderr.write(pc.console())
            sys.stderr.write("\n--- log terminal ---\n" + pc.log_terminal())
            raise
        finally:
            pc.close()
    print("floppy_set_faults: ok")


if __name__ == "__main__":
    main()
