#!/bin/sh
# Assembles the Brindlex boot system from Debian's i386 packages and the
# programs of the i386 target build:
#   bootsystem/build.sh TARGET_DIR BOOTSYS_DIR [DEBIAN_CACHE]
# writes BOOTSYS_DIR/vmlinuz and BOOTSYS_DIR/initrd.gz. Downloaded packages
# are kept in DEBIAN_CACHE (default BOOTSYS_DIR/debs; the sample packages
# share it), so a rebuild only fetches what changed.
set -eu

if [ $# -ne 2 ] && [ $# -ne 3 ]; then
    echo "usage: $0 TARGET_DIR BOOTSYS_DIR [DEBIAN_CACHE]" >&2
    exit 2
fi
target_dir=$1
bootsys_dir=$2
here=$(cd "$(dirname "$0")" && pwd)
debian=$here/../scripts/debian-i386.sh
mkdir -p "$bootsys_dir"
bootsys_dir=$(cd "$bootsys_dir" && pwd)
debs=${3:-$bootsys_dir/debs}
tree=$bootsys_dir/unpacked
root=$bootsys_dir/root

say() { echo "bootsystem: $*"; }
die() { echo "bootsystem: error: $*" >&2; exit 1; }

installer=$target_dir/bin/brindlex-installer
[ -x "$installer" ] || die "$installer is missing (build the i386 target first)"

# mke2fs and the packages its libraries come from: e2fsprogs' own library
# dependencies, plus the C library and what the C library needs.
sh "$debian" lists
libpkgs=$( (apt-cache depends e2fsprogs:i386; apt-cache depends libc6:i386) |
    awk '($1 == "PreDepends:" || $1 == "Depends:") && $2 ~ /^lib/ { sub(/:i386$/, "", $2); print $2 }' |
    sort -u)
# The kernel is whatever the metapackage points at today.
folders=$(sh "$debian" fetch "$debs" kernel busybox-static e2fsprogs libc6 $libpkgs)
kernel_dir=$(echo "$folders" | head -n 1)

# One tree of all the packages, hard-linked to the unpacked packages.
rm -rf "$tree"
mkdir -p "$tree"
for folder in $folders; do
    cp -alf "$folder/." "$tree/"
done
rm -rf "$root"
mkdir -p "$root"
kver=$(ls "$tree/lib/modules" | head -n 1)
[ -n "$kver" ] && [ -f "$tree/boot/vmlinuz-$kver" ] || die "no kernel in $kernel_dir"
say "kernel $kver"

mkdir -p "$root/bin" "$root/sbin" "$root/usr/bin" "$root/usr/sbin" "$root/lib" "$root/etc" "$root/dev" "$root/proc" \
    "$root/sys" "$root/tmp" "$root/mnt" "$root/floppy" "$root/run"
cp "$tree/bin/busybox" "$root/bin/busybox"

# mke2fs with every shared library it needs, found by walking DT_NEEDED.
cp "$tree/sbin/mke2fs" "$root/sbin/mke2fs"
cp "$tree/etc/mke2fs.conf" "$root/etc/mke2fs.conf"
find_lib() {
    for d in lib/i386-linux-gnu usr/lib/i386-linux-gnu lib usr/lib; do
        if [ -e "$tree/$d/$1" ]; then echo "$tree/$d/$1"; return; fi
    done
}
pending=$root/sbin/mke2fs
while [ -n "$pending" ]; do
    next=""
    for f in $pending; do
        for lib in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
            [ -e "$root/lib/$lib" ] && continue
            src=$(find_lib "$lib")
            [ -n "$src" ] || die "library $lib of mke2fs not found in the packages"
            cp -L "$src" "$root/lib/$lib"
            next="$next $root/lib/$lib"
        done
    done
    pending=$next
done
interp=$(readelf -l "$root/sbin/mke2fs" | sed -n 's/.*interpreter: \(.*\)\]/\1/p')
mkdir -p "$root$(dirname "$interp")"
cp -L "$tree$interp" "$root$interp"

# The network drivers the installer itself loads through /sbin/insmod (the
# list network_modules in src/startup/kernel_modules.cc), as far as this
# kernel has them; insmod keeps failing for the others, as on the media.
net_names=$(sed -n '/network_modules\[\] = {/,/};/p' "$here/../src/startup/kernel_modules.cc" |
    grep -o '"[^"]*"' | tr -d '"' | tr - _)
[ -n "$net_names" ] || die "no network_modules list in src/startup/kernel_modules.cc"
net_modules=""
missing_net=""
for m in $net_names; do
    if awk -F: -v m="$m" '{ n = $1; sub(/.*\//, "", n); sub(/\.ko.*$/, "", n); gsub(/-/, "_", n)
        if (n == m) found = 1 } END { exit !found }' "$kernel_dir/lib/modules/$kver/modules.dep"; then
        net_modules="$net_modules $m"
    else
        missing_net="$missing_net $m"
    fi
done
say "network drivers this kernel lacks (built in or gone):$missing_net"

# The kernel modules the media need, with everything they depend on.
sh "$debian" modules "$kernel_dir" "$root" ata_piix ata_generic sd_mod sr_mod cdrom isofs floppy \
    ext4 crc32c_generic fat vfat nls_cp437 nls_ascii usbcore hid pvpanic_pci $net_modules

# The pre-init, the device names and the test PC's module loader.
cp "$here/init" "$root/init"
cp "$here/ide-names" "$root/sbin/ide-names"
cp "$here/insmod" "$root/sbin/insmod"
chmod 755 "$root/init" "$root/sbin/ide-names" "$root/sbin/insmod"

# Programs of the i386 target build.
cp "$installer" "$root/sbin/init"
install_program() {
    if [ -x "$target_dir/bin/$1" ]; then
        cp "$target_dir/bin/$1" "$root/sbin/$2"
    else
        say "warning: $target_dir/bin/$1 is missing; the boot system has no /sbin/$2"
    fi
}
install_program brindlex-unpack installer
install_program brindlex-sfdisk sfdisk
found_driver=no
for f in "$target_dir"/bin/testpc-*; do
    [ -x "$f" ] || continue
    cp "$f" "$root/sbin/$(basename "$f")"
    found_driver=yes
done
[ $found_driver = yes ] || say "warning: no testpc-* scenario drivers in $target_dir/bin"

cp "$tree/boot/vmlinuz-$kver" "$bootsys_dir/vmlinuz.new"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) | gzip -6 > "$bootsys_dir/initrd.gz.new"
mv "$bootsys_dir/vmlinuz.new" "$bootsys_dir/vmlinuz"
mv "$bootsys_dir/initrd.gz.new" "$bootsys_dir/initrd.gz"
say "wrote $bootsys_dir/vmlinuz and $bootsys_dir/initrd.gz ($(du -k "$bootsys_dir/initrd.gz" | cut -f1) KiB)"
