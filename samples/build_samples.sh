#!/bin/sh
# build_samples.sh PACKAGE_BUILDER FLOPPYSET OUT_DIR
# Builds the sample packages of samples/packages.list into OUT_DIR/packages,
# their payload (the packages back to back, in installation order) into
# OUT_DIR/payload and the sample floppy set into OUT_DIR/floppies. The i386
# programs of the system package are fetched into OUT_DIR/debian.
set -eu
if [ $# -ne 3 ]; then
    echo "usage: $0 PACKAGE_BUILDER FLOPPYSET OUT_DIR" >&2
    exit 2
fi
builder=$1
floppyset=$2
out=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

sh "$here/fetch_debian_tools.sh" "$out/debian"

stage=$out/stage
rm -rf "$stage" "$out/packages.new"
mkdir -p "$stage" "$out/packages.new"
while IFS='|' read -r name deps description; do
    case $name in '' | \#*) continue ;; esac
    mkdir -p "$stage/$name"
    cp -a "$here/$name/." "$stage/$name/"
    if [ "$name" = system ]; then
        # The shell answers as /bin/sh; /bin/bash hands over to it. The
        # checker runs as /sbin/e2fsck behind the /sbin/fsck front end.
        cp "$out/debian/busybox" "$stage/system/bin/sh"
        cp "$out/debian/e2fsck" "$stage/system/sbin/e2fsck"
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
