#!/bin/sh
# build_samples.sh PACKAGE_BUILDER FLOPPYSET OUT_DIR [DEBIAN_CACHE]
# Builds the sample packages of samples/packages.list into OUT_DIR/packages,
# their payload (the packages back to back, in installation order) into
# OUT_DIR/payload and the sample floppy set into OUT_DIR/floppies. The i386
# programs of the system and kernel packages are fetched into OUT_DIR/debian
# (the Debian packages are kept in DEBIAN_CACHE, default OUT_DIR/debs).
set -eu
if [ $# -ne 3 ] && [ $# -ne 4 ]; then
    echo "usage: $0 PACKAGE_BUILDER FLOPPYSET OUT_DIR [DEBIAN_CACHE]" >&2
    exit 2
fi
builder=$1
floppyset=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

sh "$here/fetch_debian_tools.sh" "$out/debian" "${4:-$out/debs}"

stage=$out/stage
rm -rf "$stage" "$out/packages.new"
mkdir -p "$stage" "$out/packages.new"
while IFS='|' read -r name deps description; do
    case $name in '' | \#*) continue ;; esac
    mkdir -p "$stage/$name"
    # A package made only of fetched and built files has no folder here.
    [ -d "$here/$name" ] && cp -a "$here/$name/." "$stage/$name/"
    if [ "$name" = system ]; then
        # The shell answers as /bin/sh; /bin/bash hands over to it. The
        # checker runs as /sbin/e2fsck behind the /sbin/fsck front end.
        cp "$out/debian/busybox" "$stage/system/bin/sh"
        cp "$out/debian/e2fsck" "$stage/system/sbin/e2fsck"
        # The shell's other commands answer by name, as links to it (it
        # runs only a few of them by itself).
        for applet in awk cat chmod cp cut dd grep ln ls mkdir mknod mount mv od rm sed sleep \
            stat sync tee tr umount; do
            ln -s sh "$stage/system/bin/$applet"
        done
        for applet in halt poweroff reboot; do
            ln -s ../bin/sh "$stage/system/sbin/$applet"
        done
    fi
    if [ "$name" = kernel ]; then
        # The kernel and its initial RAM disk in /boot, where lilo.conf's
        # image= points; the boot loader's installer with its C library.
        mkdir -p "$stage/kernel/boot" "$stage/kernel/sbin" "$stage/kernel/lib"
        cp "$out/debian/vmlinuz" "$stage/kernel/boot/vmlinuz"
        initrd=$out/initrd
        rm -rf "$initrd"
        cp -a "$out/debian/initrd" "$initrd"
        mkdir -p "$initrd/sbin" "$initrd/dev" "$initrd/proc" "$initrd/sys" "$initrd/root"
        cp "$here/initrd/init" "$initrd/init"
        cp "$here/../bootsystem/ide-names" "$initrd/sbin/ide-names"
        chmod 755 "$initrd/init" "$initrd/sbin/ide-names"
        # xz with CRC-32 checks and a 1 MiB dictionary: what the kernel can
        # unpack, in little memory.
        (cd "$initrd" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) |
            xz --check=crc32 --lzma2=preset=9,dict=1MiB > "$stage/kernel/boot/initrd.img"
        rm -rf "$initrd"
        cp "$out/debian/extlinux" "$stage/kernel/sbin/extlinux"
        cp "$out/debian/ld-linux.so.2" "$out/debian/libc.so.6" "$stage/kernel/lib/"
    fi
    set --
    old_ifs=$IFS
    IFS=,
    for dep in $deps; do set -- "$@" --depends "$dep"; done
    IFS=$old_ifs
    "$builder" build --name "$name" --description "$description" --root-owner "$@" \
        --output "$out/packages.new/$name.vpk" "$stage/$name"
done < "$here/packages.list"

rm -rf "$out/packages"
mv "$out/packages.new" "$out/packages"
: > "$out/payload.new"
grep -v '^#' "$here/packages.list" | cut -d'|' -f1 | while read -r name; do
    [ -n "$name" ] && cat "$out/packages/$name.vpk" >> "$out/payload.new"
done
mv "$out/payload.new" "$out/payload"
mkdir -p "$out/floppies"
"$floppyset" --set-id 0x5a4d1e01 "$out/payload" "$out/floppies" >/dev/null
rm -rf "$stage"
echo "sample floppy set: $(ls "$out"/floppies/*.img | wc -l) floppies in $out/floppies"
