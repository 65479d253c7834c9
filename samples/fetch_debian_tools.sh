#!/bin/sh
# fetch_debian_tools.sh DIR CACHE: puts the i386 pieces of the sample
# packages, taken from Debian's packages (kept in CACHE, see
# scripts/debian-i386.sh), into DIR:
#   busybox, e2fsck         the shell and the file-system checker (static)
#   vmlinuz                 the kernel linux-image-686 depends on today
#   initrd/                 what the installed system's initial RAM disk
#                           takes from Debian: bin/busybox, the drivers of
#                           the disks and file systems (lib/modules/VERSION
#                           with modules.dep) and their names, in the order
#                           to load them, in etc/modules
#   extlinux, ld-linux.so.2, libc.so.6
#                           the boot loader's installer and the C library
#                           it runs on
set -eu
if [ $# -ne 2 ]; then
    echo "usage: $0 DIR CACHE" >&2
    exit 2
fi
dir=$1
cache=$2
here=$(cd "$(dirname "$0")" && pwd)
debian=$here/../scripts/debian-i386.sh
mkdir -p "$dir"

folders=$(sh "$debian" fetch "$cache" busybox-static e2fsck-static kernel extlinux libc6)
set -- $folders
busybox=$1 e2fsck=$2 kernel=$3 extlinux=$4 libc=$5

# crc32c before ext4: mounting ext3 asks for it. pvpanic reports a crash
# to a virtual machine's host; on real hardware it finds nothing.
initrd_modules="crc32c_generic ata_piix ata_generic sd_mod ext4 pvpanic_pci"
rm -rf "$dir/initrd"
mkdir -p "$dir/initrd/bin" "$dir/initrd/etc"
sh "$debian" modules "$kernel" "$dir/initrd" $initrd_modules
echo "$initrd_modules" | tr ' ' '\n' > "$dir/initrd/etc/modules"
cp "$busybox/bin/busybox" "$dir/initrd/bin/busybox"
cp "$busybox/bin/busybox" "$dir/busybox"
cp "$e2fsck/sbin/e2fsck.static" "$dir/e2fsck"
cp "$kernel"/boot/vmlinuz-* "$dir/vmlinuz"
cp "$extlinux/usr/bin/extlinux" "$dir/extlinux"
cp -L "$libc/lib/ld-linux.so.2" "$dir/ld-linux.so.2"
cp -L "$libc/lib/i386-linux-gnu/libc.so.6" "$dir/libc.so.6"
chmod 755 "$dir/busybox" "$dir/e2fsck" "$dir/extlinux" "$dir/ld-linux.so.2" "$dir/libc.so.6"
