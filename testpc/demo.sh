#!/bin/sh
# demo.sh HOST_DIR TARGET_DIR BOOTSYS_DIR (run by `make demo`)
# A complete floppy-set installation of the sample packages on the test PC:
# a fresh 400 MB disk image, the three sample floppies, the real installer
# booted as init. On a terminal you answer the installer's questions; the
# floppies are changed for you (through the emulator's monitor) when the
# installer asks for the next one, before you press ENTER. Without a
# terminal the demo answers for itself. At the end the PC restarts from the
# installed disk (BIOS, boot program, boot loader, the installed kernel) and
# the installed router system says what it found; then the demo shows what
# is on the disk and where the image lies.
set -eu
PATH=$PATH:/sbin:/usr/sbin
# debugfs would page its listings on a terminal.
export DEBUGFS_PAGER=__none__
if [ $# -ne 3 ]; then
    echo "usage: $0 HOST_DIR TARGET_DIR BOOTSYS_DIR" >&2
    exit 2
fi
host=$1
bootsys=$3
here=$(cd "$(dirname "$0")" && pwd)
demo=$host/demo
floppies=$host/samples/floppies

cat <<INFO
Brindlex demo: floppy-set installation on the test PC (an emulated i386 PC).
  needs: the host build, the i386 build and the boot system (make demo
         builds them; installing missing Debian packages needs root),
         about 30 MB of real disk space (the 400 MB disk image is sparse)
         and two to four minutes (eleven floppies: the kernel package fills
         most of them).
  disk image: $demo/disk.img (made anew)
INFO

missing=
for f in "$bootsys/vmlinuz" "$bootsys/initrd.gz" "$here/run_pc.py"; do
    [ -e "$f" ] || missing="$missing $f"
done
ls "$floppies"/brindlex.n*.img >/dev/null 2>&1 || missing="$missing $floppies/brindlex.n*.img"
for p in qemu-system-i386 debugfs python3; do
    command -v "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "demo: missing:$missing" >&2
    exit 1
fi

mkdir -p "$demo"
rm -f "$demo/disk.img" "$demo/console.sock" "$demo/monitor.sock"
truncate -s 400M "$demo/disk.img"

# The operator's side runs from a here-document, so whether the demo is
# interactive is decided here, and its keys come from /dev/tty.
interactive=0
[ -t 0 ] && [ -t 1 ] && interactive=1
/usr/bin/python3 - "$here/run_pc.py" "$bootsys" "$demo" "$floppies" "$interactive" <<'PYTHON'
import os, re, select, socket, subprocess, sys, termios, time, tty

run_pc, bootsys, demo, floppies = sys.argv[1:5]
interactive = sys.argv[5] == "1"
keys = os.open("/dev/tty", os.O_RDONLY) if interactive else None
images = sorted(os.path.join(floppies, n) for n in os.listdir(floppies) if n.endswith(".img"))
console_path = os.path.join(demo, "console.sock")
monitor_path = os.path.join(demo, "monitor.sock")
pc = subprocess.Popen([sys.executable, run_pc, "--bootsys", bootsys,
                       "--disk", os.path.join(demo, "disk.img"), "--floppy", images[0],
                       "--console", "socket", console_path, "--monitor", monitor_path,
                       "--log", os.path.join(demo, "log_terminal.txt")],
                      stdin=subprocess.DEVNULL)

def connect(path):
    for _ in range(200):
        if pc.poll() is not None:
            sys.exit("demo: the test PC did not start")
        try:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(path)
            return s
        except OSError:
            time.sleep(0.1)
    sys.exit("demo: no connection to the test PC")

console = connect(console_path)
monitor = None
ordinals = {}
for i in range(len(images)):
    n = i + 2
    ordinals[{2: "2nd", 3: "3rd"}.get(n, "%dth" % n)] = images[i]
answers = [("Do you want to keep old configuration?", b"n"), ("Continue? [y/n]:", b"y"),
           ("Press ENTER when ready", b"\r"), ("Press ENTER to reboot", b"\r")]
seen = ""
saved = termios.tcgetattr(keys) if interactive else None
if interactive:
    tty.setraw(keys)
    os.write(1, b"(the PC's console: answer its questions; the floppies change by"
                b" themselves)\r\n")
try:
    while True:
        fds = [console] + ([keys] if interactive else [])
        ready, _, _ = select.select(fds, [], [], 1.0)
        if pc.poll() is not None and console not in ready:
            break
        if console in ready:
            data = console.recv(4096)
            if not data:
                break
            os.write(1, data)
            seen = (seen + data.decode("latin-1"))[-4000:]
            m = re.search(r"Please insert (\S+) installation floppy\.", seen)
            if m and m.group(1) in ordinals:
                if monitor is None:
                    monitor = connect(monitor_path)
                monitor.sendall(("change floppy0 %s raw\n" % ordinals[m.group(1)]).encode())
                note = "\r\n[demo: %s floppy inserted: %s]\r\n" % (
                    m.group(1), os.path.basename(ordinals[m.group(1)]))
                os.write(1, note.encode())
                seen = seen[m.end():]
            if not interactive:
                for text, key in answers:
                    k = seen.find(text)
                    if k >= 0:
                        time.sleep(0.5)
                        console.sendall(key)
                        seen = seen[k + len(text):]
        if interactive and keys in ready:
            key = os.read(keys, 64)
            if key == b"\x1d":  # Ctrl-]: leave the demo
                break
            console.sendall(key)
finally:
    if interactive:
        termios.tcsetattr(keys, termios.TCSADRAIN, saved)
    try:
        pc.wait(30)
    except subprocess.TimeoutExpired:
        pc.kill()
PYTHON

image=$demo/disk.img
echo
echo "=== The test PC restarts from the installed disk"
/usr/bin/python3 - "$here" "$image" <<'PYTHON'
import re, sys
sys.path.insert(0, sys.argv[1])
import testpc
try:
    system = testpc.boot_installed_disk(sys.argv[2], name="demo")
except testpc.TestPCError as e:
    sys.exit("demo: %s" % e)
# The BIOS's screen codes (clear screen, reset) stay out of this terminal.
print(re.sub(r"\x1b(\[[0-9;?]*[A-Za-z]|c)", "", system.console).replace("\r", "").strip())
print("\nThe installed router system came up and said:\n  " + system.line)
PYTHON
echo
echo "=== The installed disk: $image"
echo "--- partition table"
/usr/bin/python3 - "$image" <<'PYTHON'
import struct, sys
with open(sys.argv[1], "rb") as f:
    mbr = f.read(512)
if mbr[510:512] != b"\x55\xaa":
    sys.exit(0)
print("  #  boot  type  first sector   sectors      size")
for i in range(4):
    e = mbr[446 + 16 * i:462 + 16 * i]
    first, count = struct.unpack("<II", e[8:16])
    if e[4]:
        print("  %d  %-4s  %02x    %12d  %9d  %6d MB" % (i + 1, "*" if e[0] == 0x80 else "",
                                                     e[4], first, count, count * 512 // 1000000))
PYTHON
start=$(/usr/bin/python3 -c 'import struct,sys; m=open(sys.argv[1],"rb").read(512); print(struct.unpack("<I", m[454:458])[0] if m[510:512] == b"\x55\xaa" and m[450] else "")' "$image")
if [ -z "$start" ]; then
    echo "demo: the disk has no partition table: the installation did not get that far" >&2
    exit 1
fi
root="$image?offset=$((start * 512))"
echo "--- file system of the root partition"
dumpe2fs -h "$root" 2>/dev/null | grep -E 'volume name|Filesystem features|Block count|Inode count|Filesystem state'
e2fsck -f -n "$root" | tail -n 1
for dir in / /boot /etc /etc/rc.d /etc/routing /etc/firewall /etc/webadmin /bin /sbin /var/log /var/www; do
    echo "--- $dir"
    debugfs -R "ls -l $dir" "$root" 2>/dev/null
done
for file in /etc/fstab /etc/lilo.conf /boot/extlinux.conf /var/log/postinstall.trace; do
    echo "--- $file"
    debugfs -R "cat $file" "$root" 2>/dev/null
done
# The unpacker's records of the installed packages, copied out of the
# image and listed by the unpacker itself.
echo "--- installed packages (/var/pdb, brindlex-unpack -l)"
rm -rf "$demo/records"
mkdir -p "$demo/records/var"
debugfs -R "rdump /var/pdb $demo/records/var" "$root" >/dev/null 2>&1
"$host/bin/brindlex-unpack" -l -r "$demo/records"
echo
echo "The installed disk image is $image (the log terminal's lines are in $demo/log_terminal.txt)."
