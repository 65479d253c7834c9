#!/usr/bin/python3
"""The demo's second act (run by `make demo-remote`): one router installs
another over the network, two test PCs on one emulated segment.

The server PC boots the installation CD of the sample packages; the router
PC boots the boot system with /TYPE "net", a blank disk and a label floppy.
On a terminal you are the server's operator: its console is this terminal
(choose packages, 'r', pick the router, answer the questions, a key at the
end; Ctrl-] leaves). Without a terminal the demo answers for itself (every
package, n, 10.0.0.2, 24, 0.0.0.0, 9600). The router's console goes to
build/host/demo-remote/router-console.txt. At the end the router's disk is
shown: its packages, its configuration script, and the installed system
booted from it.
"""

import os
import re
import select
import subprocess
import sys
import termios
import time
import tty

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
sys.path.insert(0, os.path.join(here, "scenarios"))
from cdrom_install import make_install_cd  # noqa: E402
from floppy_set_faults import debugfs, read_file, root_location  # noqa: E402
from remote_install import (CABLED_MAC, LABEL, answer_questions, label_floppy,  # noqa: E402
                            pick_router, router_pc, sample_packages, server_cd_pc)
from testpc import Segment, TestPCError, boot_installed_disk, make_disk_image  # noqa: E402

LEAVE = b"\x1d"  # Ctrl-]


def play_server(server, router, interactive):
    """Shows the server's console here until the router has restarted; on a
    terminal the keys go to the server."""
    keys = os.open("/dev/tty", os.O_RDONLY) if interactive else None
    saved = termios.tcgetattr(keys) if interactive else None
    shown = 0
    if interactive:
        tty.setraw(keys)
    try:
        while router.wait_end(0) is None:
            text = server.transcript
            if len(text) > shown:
                os.write(1, text[shown:].encode("latin-1"))
                shown = len(text)
            if not interactive:
                time.sleep(0.2)
                continue
            ready, _, _ = select.select([keys], [], [], 0.2)
            if ready:
                key = os.read(keys, 64)
                if LEAVE in key:
                    return False
                server.send(key.decode("latin-1"))
        return True
    finally:
        if interactive:
            termios.tcsetattr(keys, termios.TCSADRAIN, saved)


def answer_for_the_operator(server, router):
    """The server's operator without a terminal: every package, 'r', the
    router, the four answers, a key once the router is installed."""
    server.expect("system (depends on kernel):", 120)
    server.send("a")
    pick_router(server, CABLED_MAC, LABEL)
    answer_questions(server, keep=False)
    router.expect("Press ENTER to reboot", 1800)
    server.expect("Press ENTER to reboot", 120)
    server.send("x")


def show_disk(disk, work):
    location = root_location(disk)
    print("\n=== The router's disk: %s" % disk)
    print(subprocess.run(["e2fsck", "-f", "-n", location], capture_output=True,
                         text=True).stdout.strip().splitlines()[-1])
    for path in ("/", "/etc", "/vyre"):
        print("--- %s" % path)
        print(debugfs(location, "ls -l " + path).decode(errors="replace").rstrip())
    print("--- /autorun.scr (the configuration script the server sent)")
    print((read_file(location, "/autorun.scr") or b"(none)\n").decode(errors="replace"), end="")
    print("--- /CDINSTALL")
    print(debugfs(location, "stat /CDINSTALL").decode(errors="replace").splitlines()[0])
    records = os.path.join(work, "records")
    subprocess.run(["rm", "-rf", records], check=True)
    os.makedirs(os.path.join(records, "var"))
    debugfs(location, "rdump /var/pdb %s" % os.path.join(records, "var"))
    print("--- installed packages (/var/pdb, brindlex-unpack -l)")
    unpack = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "bin", "brindlex-unpack")
    subprocess.run([unpack, "-l", "-r", records], check=False)


def main():
    work = os.path.join(os.environ["BRINDLEX_HOST_DIR"], "demo-remote")
    os.makedirs(work, exist_ok=True)
    interactive = os.isatty(0) and os.isatty(1)
    print("Brindlex demo, second act: a router installs another over the network.\n"
          "  two test PCs on one emulated segment (no host network is touched);\n"
          "  the router's console: %s/router-console.txt" % work)
    if interactive:
        print("  this terminal is the server's console: choose packages ('a': all), 'r',\n"
              "  pick the router (label %s), answer its questions, press a key when it\n"
              "  says \"Press ENTER to reboot\"; Ctrl-] leaves." % LABEL)
    iso = make_install_cd(work, sample_packages())
    server_disk = make_disk_image(os.path.join(work, "server.img"), 100)
    disk = make_disk_image(os.path.join(work, "router.img"), 400)
    floppy = label_floppy(work)
    with Segment("demo", ports=2) as segment:
        with server_cd_pc("demo_server", iso, server_disk, segment) as server:
            with router_pc("demo_router", disk, segment, floppy) as router:
                try:
                    if interactive:
                        done = play_server(server, router, True)
                    else:
                        answer_for_the_operator(server, router)
                        done = True
                        play_server(server, router, False)
                    if done:
                        router.wait_restart(120)
                finally:
                    with open(os.path.join(work, "router-console.txt"), "w") as f:
                        f.write(router.console_text())
    if not done:
        sys.exit("demo: left before the router was installed")
    print("\n\n=== The router's console (the end)")
    print("\n".join(re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", router.console_text())
                    .strip().splitlines()[-12:]))
    show_disk(disk, work)
    print("\n=== The router restarts from its disk")
    try:
        system = boot_installed_disk(disk, name="demo-router-up")
    except TestPCError as e:
        sys.exit("demo: %s" % e)
    print("The installed router system came up and said:\n  " + system.line)


if __name__ == "__main__":
    main()
