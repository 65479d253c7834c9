#!/bin/sh
# The i386 programs that go onto the boot system and the sample packages come
# from Debian's archive. Both builds get them here, from one cache:
#
#   debian-i386.sh lists
#       makes sure apt knows the i386 packages (enables the architecture
#       and runs apt-get update when needed; root only then).
#   debian-i386.sh fetch CACHE PACKAGE...
#       downloads each package's current i386 version with apt-get download
#       into CACHE (kept while it is current) and unpacks it into a folder
#       of its own; prints those folders, one a line, in the order asked
#       (a package named twice once).
#       The name "kernel" stands for the kernel that linux-image-686 depends
#       on today; a kernel's folder also gets its modules.dep.
#   debian-i386.sh modules KERNEL_DIR ROOT MODULE...
#       copies the named modules, with every module they depend on, from
#       the unpacked kernel KERNEL_DIR into ROOT and writes ROOT's
#       modules.dep. Module names use '_' (ata_piix), as modprobe does.
set -eu

die() { echo "debian-i386: error: $*" >&2; exit 1; }

lists() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        [ "$(id -u)" = 0 ] || die "the i386 architecture is not enabled (run as root)"
        dpkg --add-architecture i386
        apt-get update -q >&2
    fi
    if ! apt-cache show linux-image-686:i386 >/dev/null 2>&1; then
        [ "$(id -u)" = 0 ] || die "no i386 package lists (run apt-get update as root)"
        apt-get update -q >&2
    fi
}

kernel_package() {
    name=$(apt-cache depends linux-image-686:i386 |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { sub(/:i386$/, "", $2); print $2; exit }')
    [ -n "$name" ] || die "cannot resolve the kernel of linux-image-686:i386"
    echo "$name"
}

# unpacked CACHE PACKAGE: the folder of the package's current version,
# downloaded and unpacked unless it is there already.
unpacked() {
    cache=$1
    package=$2
    version=$(apt-cache show --no-all-versions "$package:i386" 2>/dev/null |
        awk '/^Version:/ { print $2; exit }')
    [ -n "$version" ] || die "package $package:i386 not found"
    # Versions may hold ':' (epochs), which stays out of the folder name.
    folder=$cache/${package}_$(echo "$version" | tr ':' '%')
    if [ ! -f "$folder.complete" ]; then
        for old in "$cache/${package}"_*; do
            [ -e "$old" ] && rm -rf "$old"
        done
        mkdir -p "$cache/download"
        rm -f "$cache/download"/*.deb
        if ! (cd "$cache/download" &&
            apt-get download -q "$package:i386=$version" >"$cache/download.log" 2>&1); then
            cat "$cache/download.log" >&2
            die "apt-get download $package:i386=$version failed"
        fi
        mkdir -p "$folder"
        dpkg-deb -x "$cache/download"/*.deb "$folder"
        rm -f "$cache/download"/*.deb
        if [ -d "$folder/lib/modules" ]; then
            for kver in $(ls "$folder/lib/modules"); do
                depmod -b "$folder" "$kver"
            done
        fi
        : > "$folder.complete"
    fi
    echo "$folder"
}

fetch() {
    [ $# -ge 2 ] || die "usage: debian-i386.sh fetch CACHE PACKAGE..."
    mkdir -p "$1"
    cache=$(cd "$1" && pwd)
    shift
    lists
    done_list=" "
    for p in "$@"; do
        [ "$p" = kernel ] && p=$(kernel_package)
        case $done_list in *" $p "*) continue ;; esac
        done_list="$done_list$p "
        unpacked "$cache" "$p"
    done
}

modules() {
    [ $# -ge 3 ] || die "usage: debian-i386.sh modules KERNEL_DIR ROOT MODULE..."
    kernel=$1
    root=$2
    shift 2
    kver=$(ls "$kernel/lib/modules" | head -n 1)
    [ -n "$kver" ] && [ -f "$kernel/lib/modules/$kver/modules.dep" ] ||
        die "no kernel modules in $kernel"
    moddir=lib/modules/$kver
    wanted=""
    for m in "$@"; do
        path=$(awk -F: -v m="$m" '{ n = $1; sub(/.*\//, "", n); sub(/\.ko.*$/, "", n); gsub(/-/, "_", n)
            if (n == m) { print $0; exit } }' "$kernel/$moddir/modules.dep")
        [ -n "$path" ] || die "module $m is not in the kernel $kver"
        wanted="$wanted $(echo "$path" | tr -d ':')"
    done
    for f in $(echo "$wanted" | tr ' ' '\n' | sort -u); do
        mkdir -p "$root/$moddir/$(dirname "$f")"
        cp "$kernel/$moddir/$f" "$root/$moddir/$f"
    done
    for f in modules.order modules.builtin modules.builtin.modinfo; do
        [ -f "$kernel/$moddir/$f" ] && cp "$kernel/$moddir/$f" "$root/$moddir/$f"
    done
    depmod -b "$root" "$kver"
}

command=${1:-}
[ $# -gt 0 ] && shift
case $command in
lists) lists ;;
fetch) fetch "$@" ;;
modules) modules "$@" ;;
*) die "usage: debian-i386.sh lists | fetch CACHE PACKAGE... | modules KERNEL_DIR ROOT MODULE..." ;;
esac
