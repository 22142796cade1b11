#!/bin/bash
# bench/memory.sh [-t TREE]... [-f FILE.mp3]: memory of the player while it plays, beside
# mpg123 and madplay: VmRSS and VmLck from /proc/PID/status of every process of each
# player, taken three seconds into a 20 s file (made with sox and lame unless -f), in KiB.
# - Through the OSS simulator (LD_PRELOAD), at the device's real pace: the dynamically
#   linked vexa of each TREE, mpg123 -o oss.
# - Into a FIFO that a reader empties at 44100 Hz: madplay (Debian's has no OSS output) as
#   raw PCM, and every TREE's vexa, static ones too (they cannot take a preloaded library),
#   as its OSS device (-a), strace answering the device's mode requests (ioctl) as the
#   device would. The player
#   waits for room as on the board, so it locks its memory the same way; strace changes
#   nothing in the player's memory.
# Each TREE (default build) has bin/vexa; the OSS simulator is the first TREE's
# lib/libossim.so. vexa-bench's memory case runs this on its own tree and those it is given.
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
ossim=${trees[0]}/lib/libossim.so
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

# status PID: "rss locked resident-locked" in KiB of one process. VmLck counts whole locked
# mappings, also the pages of those locked on first touch that were never touched; the
# third figure is the resident part of the locked mappings (from smaps).
status() {
    local rl
    rl=$(awk '/^Rss:/ {r = $2} /^VmFlags:/ && / lo/ {s += r} END {print s + 0}' "/proc/$1/smaps")
    awk -v rl="$rl" '/^VmRSS:/ {r = $2} /^VmLck:/ {l = $2} END {print r + 0, l + 0, rl}' \
        "/proc/$1/status"
}

# report NAME PID: one line for the process PID and one for each of its children. Under
# strace the player's processes are strace's child and grandchild.
report() {
    local name=$1 pid=$2 role=process kids
    [ "$(cat "/proc/$pid/comm")" = strace ] && pid=$(awk '{print $1}' "/proc/$pid/task/$pid/children")
    kids=$(cat "/proc/$pid/task/$pid/children" 2>/dev/null || true)
    [ -n "$kids" ] && role=reader
    read -r rss lck rl < <(status "$pid")
    printf '  %-40s %-8s %7d %7d %7d\n' "$name" "$role" "$rss" "$lck" "$rl"
    for k in $kids; do
        read -r rss lck rl < <(status "$k")
        printf '  %-40s %-8s %7d %7d %7d\n' "$name" player "$rss" "$lck" "$rl"
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
    pkill -P "$pid" 2>/dev/null || true
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

printf '%-42s %-8s %7s %7s %7s\n' "memory while playing (KiB)" "" VmRSS VmLck "RSS lck"
echo "OSS simulator:"
export OSSIM_REALTIME=1 OSSIM_REPORT= VEXA_DEBUG_LEVEL=0
for t in "${trees[@]}"; do
    file -L "$t/bin/vexa" | grep -q 'statically linked' && continue
    measure "vexa ($(basename "$t"))" env LD_PRELOAD="$ossim" "$t/bin/vexa" "$file"
done
command -v mpg123 >/dev/null && measure "mpg123 -o oss" env LD_PRELOAD="$ossim" mpg123 -q -o oss "$file"
# drain: empties the FIFO device at 44100 Hz stereo, in tenths of a second.
drain() {
    python3 -c '
import sys, time
with open(sys.argv[1], "rb", buffering=0) as f:
    while f.read(17640):
        time.sleep(0.1)
' "$work/dsp" &
    pids+=($!)
}

echo "FIFO device at 44100 Hz:"
mkfifo "$work/dsp"
# Debian's madplay has no OSS output: its raw PCM goes to the FIFO.
if command -v madplay >/dev/null; then
    drain
    measure "madplay -o raw:FIFO" madplay -Q -o "raw:$work/dsp" "$file"
fi
if command -v strace >/dev/null; then
    for t in "${trees[@]}"; do
        kind=dynamic
        file -L "$t/bin/vexa" | grep -q 'statically linked' && kind=static
        drain
        measure "vexa ($(basename "$t"), $kind)" strace -f -qq -o /dev/null -e trace=ioctl \
            -e inject=ioctl:retval=0 "$t/bin/vexa" -a"$work/dsp" "$file"
    done
fi
