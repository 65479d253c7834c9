#!/bin/sh
# fuzz/run.sh FUZZ_BUILD_DIR SECONDS [NAME...]
# Runs every fuzz target of the fuzz build (or the ones named) for SECONDS
# each, one after another, and fails as soon as one finds a crash, a leak,
# a hang (10 s per input) or undefined behaviour. Each target starts from a
# working corpus in FUZZ_BUILD_DIR/corpus/NAME, seeded from
#   fuzz/seeds/NAME/        small hand-made inputs (checked in)
#   fuzz/regressions/NAME/  every input that once failed (checked in)
#   FUZZ_BUILD_DIR/seeds/NAME/  inputs the project's builders made
# A failing input is written to FUZZ_BUILD_DIR/findings/NAME/; copy it into
# fuzz/regressions/NAME/ with the fix. Prints one line per target:
#   fuzz-NAME: EXECUTIONS executions in S s, 0 crashes
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 FUZZ_BUILD_DIR SECONDS [NAME...]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -eq 0 ]; then
    set --
    for f in "$build"/bin/fuzz-*; do
        [ -x "$f" ] && set -- "$@" "${f##*/fuzz-}"
    done
fi
[ $# -gt 0 ] || { echo "fuzz: no fuzz targets in $build/bin" >&2; exit 1; }
status=0
for name in "$@"; do
    program=$build/bin/fuzz-$name
    [ -x "$program" ] || { echo "fuzz: $program is missing" >&2; exit 1; }
    corpus=$build/corpus/$name
    findings=$build/findings/$name
    mkdir -p "$corpus" "$findings"
    for seeds in "$here/seeds/$name" "$here/regressions/$name" "$build/seeds/$name"; do
        [ -d "$seeds" ] && find "$seeds" -type f -exec cp {} "$corpus/" \;
    done
    # Every kept regression input must pass on its own first.
    if [ -d "$here/regressions/$name" ] && [ -n "$(ls "$here/regressions/$name")" ]; then
        if ! "$program" "$here/regressions/$name"/* >"$findings/regressions.log" 2>&1; then
            echo "fuzz-$name: a kept regression input fails again (see $findings/regressions.log)"
            status=1
            continue
        fi
    fi
    log=$findings/run.log
    if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        echo "fuzz-$name: ${runs:-?} executions in $seconds s, 0 crashes"
    else
        echo "fuzz-$name: FAILED; the input is in $findings/, the report in $log"
        grep -m 5 -E 'ERROR|runtime error|SUMMARY' "$log" || true
        status=1
    fi
done
exit $status
