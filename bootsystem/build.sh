#!/bin/sh
# Assembles the Brindlex boot system from Debian's i386 packages and the
# programs of the i386 target build:
#   bootsystem/build.sh TARGET_DIR BOOTSYS_DIR
# writes BOOTSYS_DIR/vmlinuz and BOOTSYS_DIR/initrd.gz. Downloaded packages
# are kept in BOOTSYS_DIR/debs, so a rebuild only fetches what changed.
set -eu

if [ $# -ne 2 ]; then
    echo "usage: $0 TARGET_DIR BOOTSYS_DIR" >&2
    exit 2
fi
target_dir=$1
bootsys_dir=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$bootsys_dir"
bootsys_dir=$(cd "$bootsys_dir" && pwd)
debs=$bootsys_dir/debs
tree=$bootsys_dir/unpacked
root=$bootsys_dir/root
mkdir -p "$debs"

say() { echo "bootsystem: $*"; }
die() { echo "bootsystem: error: $*" >&2; exit 1; }

installer=$target_dir/bin/brindlex-installer
[ -x "$installer" ] || die "$installer is missing (build the i386 target first)"

# The i386 package lists must be known to apt.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    [ "$(id -u)" = 0 ] || die "the i386 architecture is not enabled (run as root)"
    dpkg --add-architecture i386
    apt-get update -q
fi
if ! apt-cache show linux-image-686:i386 >/dev/null 2>&1; then
    [ "$(id -u)" = 0 ] || die "no i386 package lists (run apt-get update as root)"
    apt-get update -q
fi

# The kernel is whatever the metapackage points at today.
kernel_pkg=$(apt-cache depends linux-image-686:i386 |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { sub(/:i386$/, "", $2); print $2; exit }')
[ -n "$kernel_pkg" ] || die "cannot resolve the kernel of linux-image-686:i386"

# fetch PACKAGE VERSION: the i386 deb, downloaded unless cached.
fetch() {
    for f in "$debs/$1"_*_i386.deb; do
        if [ -f "$f" ] && [ "$(dpkg-deb -f "$f" Version)" = "$2" ]; then
            echo "$f"
            return
        fi
        rm -f "$f"
    done
    (cd "$debs" && apt-get download -q "$1:i386=$2" >/dev/null 2>&1) ||
        die "apt-get download $1:i386=$2 failed"
    ls "$debs/$1"_*_i386.deb
}

# mke2fs and the packages its libraries come from: e2fsprogs' own library
# dependencies, plus the C library and what the C library needs.
libpkgs=$( (apt-cache depends e2fsprogs:i386; apt-cache depends libc6:i386) |
    awk '($1 == "PreDepends:" || $1 == "Depends:") && $2 ~ /^lib/ { sub(/:i386$/, "", $2); print $2 }' |
    sort -u)
packages="$kernel_pkg busybox-static e2fsprogs libc6 $libpkgs"

# The unpacked packages are kept for the next build while they match.
versions=$(apt-cache show --no-all-versions $(for p in $packages; do echo "$p:i386"; done) |
    awk '/^Package:/ { p = $2 } /^Version:/ { print p, $2 }')
deb_list=""
for p in $packages; do
    version=$(echo "$versions" | awk -v p="$p" '$1 == p { print $2; exit }')
    [ -n "$version" ] || die "package $p:i386 not found"
    deb_list="$deb_list $(fetch "$p" "$version")"
done
if [ "$(cat "$tree/.debs" 2>/dev/null)" != "$deb_list" ]; then
    rm -rf "$tree"
    mkdir -p "$tree"
    for deb in $deb_list; do
        dpkg-deb -x "$deb" "$tree"
    done
    kver=$(ls "$tree/lib/modules" | head -n 1)
    depmod -b "$tree" "$kver"
    echo "$deb_list" > "$tree/.debs"
fi
rm -rf "$root"
mkdir -p "$root"
kver=$(ls "$tree/lib/modules" | head -n 1)
[ -n "$kver" ] && [ -f "$tree/boot/vmlinuz-$kver" ] || die "no kernel in $kernel_pkg"
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

# The kernel modules the media need, with everything they depend on.
modules="ata_piix ata_generic sd_mod sr_mod cdrom isofs floppy ext4 crc32c_generic
    fat vfat nls_cp437 nls_ascii usbcore hid pvpanic_pci"
moddir=lib/modules/$kver
wanted=""
for m in $modules; do
    path=$(awk -F: -v m="$m" '{ n = $1; sub(/.*\//, "", n); sub(/\.ko.*$/, "", n); gsub(/-/, "_", n)
        if (n == m) { print $0; exit } }' "$tree/$moddir/modules.dep")
    [ -n "$path" ] || die "module $m not in $kernel_pkg"
    wanted="$wanted $(echo "$path" | tr -d ':')"
done
for f in $(echo "$wanted" | tr ' ' '\n' | sort -u); do
    mkdir -p "$root/$moddir/$(dirname "$f")"
    cp "$tree/$moddir/$f" "$root/$moddir/$f"
done
for f in modules.order modules.builtin modules.builtin.modinfo; do
    [ -f "$tree/$moddir/$f" ] && cp "$tree/$moddir/$f" "$root/$moddir/$f"
done
depmod -b "$root" "$kver"

# The pre-init and the test PC's module loader.
cp "$here/init" "$root/init"
cp "$here/insmod" "$root/sbin/insmod"
chmod 755 "$root/init" "$root/sbin/insmod"

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
