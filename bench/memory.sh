#!/bin/bash
# bench/memory.sh [-t TREE]... [-f FILE.mp3]: memory of the player while it plays, beside
# mpg123 and madplay: VmRSS and VmLck from /proc/PID/status of every process of each
# player, taken a few seconds into a 20 s file (made with sox and lame unless -f).
# Two ways of playing:
# - device: through the OSS simulator (LD_PRELOAD), at the device's real pace; a statically
#   linked program cannot take a preloaded library and is left out;
# - quiet: no device (vexa -q, mpg123 -o dummy, madplay to a null file), the input a pipe
#   that gives the whole file and then stays open, so each player waits at its end.
# Each TREE (default build) is a build tree with bin/vexa; the OSS simulator is
# build/lib/libossim.so. Figures in KiB.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
trees=() file=
while getopts "t:f:" o; do
    case $o in
    t) trees+=("$OPTARG") ;;
    f) file=$OPTARG ;;
    *) exit 2 ;;
    esac
done
[ ${#trees[@]} -gt 0 ] || trees=("$here/build")
ossim=$here/build/lib/libossim.so
work=$(mktemp -d "${TMPDIR:-/tmp}/vexa-memory.XXXXXX")
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
if [ -z "$file" ]; then
    file=$work/cbr128.mp3
    sox -n -r 44100 -c 2 -b 16 "$work/music.wav" synth 20 pluck C3 pluck E4 pluck G4 sine 880 \
        brownnoise remix 1,2,5 3,4,5 gain -3 tremolo 3 40
    lame --quiet -b 128 -m j "$work/music.wav" "$file"
fi

# status PID: "rss locked" in KiB of one process.
status() {
    awk '/^VmRSS:/ {r = $2} /^VmLck:/ {l = $2} END {print r + 0, l + 0}' "/proc/$1/status"
}

# report NAME PID: one line per process of the player started as PID (it and its children).
report() {
    local name=$1 pid=$2 role=process kids
    kids=$(cat "/proc/$pid/task/$pid/children" 2>/dev/null || true)
    [ -n "$kids" ] && role=reader
    read -r rss lck < <(status "$pid")
    printf '  %-34s %-8s %7d %7d\n' "$name" "$role" "$rss" "$lck"
    for k in $kids; do
        read -r rss lck < <(status "$k")
        printf '  %-34s %-8s %7d %7d\n' "$name" player "$rss" "$lck"
    done
}

# measure NAME COMMAND...: starts COMMAND, reports it three seconds later, ends it.
measure() {
    local name=$1
    shift
    "$@" >/dev/null 2>&1 &
    local pid=$!
    pids+=("$pid")
    sleep 3
    if [ -d "/proc/$pid" ]; then report "$name" "$pid"; else echo "  $name: ended early"; fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# The input pipe of the quiet runs: the file, then an open end for 20 s.
feed() { { cat "$file"; sleep 20; } ; }

printf '%-36s %-8s %7s %7s\n' "memory while playing" "" "VmRSS" "VmLck"
echo "device (OSS simulator, real pace):"
export OSSIM_REALTIME=1 OSSIM_REPORT= VEXA_DEBUG_LEVEL=0
for t in "${trees[@]}"; do
    if file -L "$t/bin/vexa" | grep -q 'statically linked'; then continue; fi
    measure "vexa ($(basename "$t"))" env LD_PRELOAD="$ossim" "$t/bin/vexa" "$file"
done
command -v mpg123 >/dev/null && measure "mpg123 -o oss" env LD_PRELOAD="$ossim" mpg123 -q -o oss "$file"
command -v madplay >/dev/null && measure "madplay (OSS)" env LD_PRELOAD="$ossim" madplay -Q "$file"
echo "quiet (no device, input from a pipe):"
mkfifo "$work/in.fifo"
for t in "${trees[@]}"; do
    feed >"$work/in.fifo" &
    pids+=($!)
    kind=dynamic
    file -L "$t/bin/vexa" | grep -q 'statically linked' && kind=static
    measure "vexa -q ($(basename "$t"), $kind)" "$t/bin/vexa" -q "$work/in.fifo"
done
if command -v mpg123 >/dev/null; then
    feed >"$work/in.fifo" &
    pids+=($!)
    measure "mpg123 -o dummy" mpg123 -q -o dummy "$work/in.fifo"
fi
if command -v madplay >/dev/null; then
    feed >"$work/in.fifo" &
    pids+=($!)
    measure "madplay -o null" madplay -Q -o "raw:/dev/null" "$work/in.fifo"
fi
