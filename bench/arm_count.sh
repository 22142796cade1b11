#!/bin/bash
# bench/arm_count.sh [-a armhf|aarch64|armv5te|armv6|both|all] [-f FILE.mp3] [-g] [-k] [-c] [-p]
#
# Cross-builds vexa-decode for 32-bit ARM (armhf, arm-linux-gnueabihf), AArch64, and armel
# without an FPU (arm-linux-gnueabi: ARMv5TE run as an ARM926, ARMv6 as an ARM1136), and
# reports the exact number of guest instructions it executes on one MPEG audio file under
# qemu-user (the translated-block log counted by ../shared/tools: arm-insn-count for armhf
# and AArch64, qemu-block-count.py over our own qemu-arm -cpu run for armel), once with the
# target's fast paths (NEON; on armel the DSP multiplies) and once without (VEXA_SIMD=OFF),
# and checks that both give the same PCM as the host build. "both" is armhf and aarch64,
# "all" every target.
# Without -f it makes a 20 s CBR 128 kbit/s joint-stereo file with sox and lame. With -g
# it also decodes every conformance stream (tests/vectors) and every decoder fixture
# (tests/fixtures/mp3) under qemu and compares the PCM with the host build's, whose output
# the golden test holds. With -c it also reports the rate converter: guest instructions per
# second of audio at each source rate it serves, with the target's fast loop and with the
# portable one (vexa-bench resample:RATE:1 less resample:RATE:0, a second of audio less none).
# With -p it reports the whole player at 44100 and 48000 Hz (128 kbit/s joint stereo):
# guest instructions per second of playback of both its processes (decode, conversion, the
# device path through the OSS simulator, which stands in for the kernel's driver, and the
# reader's copy), beside vexa-decode's, each as a 10 s file's count less a 5 s file's. The
# build trees go to build-cross/ in the source tree (kept with -k for a rerun). Needs the
# host tree build/ for the comparisons.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
arches=armhf file= keep=0 golden=0 converter=0
player=0
while getopts "a:f:gkcp" o; do
    case $o in
    a) arches=$OPTARG ;;
    f) file=$OPTARG ;;
    g) golden=1 ;;
    k) keep=1 ;;
    c) converter=1 ;;
    p) player=1 ;;
    *) exit 2 ;;
    esac
done
[ "$arches" = both ] && arches="armhf aarch64"
[ "$arches" = all ] && arches="armhf aarch64 armv5te armv6"
counter=$here/../shared/tools/arm-insn-count
[ -x "$counter" ] || { echo "arm_count: $counter not found" >&2; exit 77; }

# armel_count CPU PROGRAM [ARGS...]: guest instructions of PROGRAM run on an emulated CPU.
armel_count() {
    local cpu=$1 log=$work/blocks.log rc=0
    shift
    qemu-arm -cpu "$cpu" -L /usr/arm-linux-gnueabi -d in_asm,exec,nochain -D "$log" "$@" \
        >/dev/null || rc=$?
    python3 "$(dirname "$counter")/qemu-block-count.py" "$log"
    rm -f "$log"
    return $rc
}

# target ARCH: the target's triple, toolchain settings, counting and running commands.
target() {
    local sysroot
    case $1 in
    armhf) triple=arm-linux-gnueabihf proc=arm count=("$counter") target_args=() ;;
    aarch64) triple=aarch64-linux-gnu proc=aarch64 count=("$counter" -a aarch64) target_args=() ;;
    armv5te | armv6)
        triple=arm-linux-gnueabi proc=arm target_args=(-DVEXA_ARM_ARCH="$1")
        local cpu=arm926
        [ "$1" = armv6 ] && cpu=arm1136
        count=(armel_count "$cpu")
        ;;
    *) echo "arm_count: unknown arch $1" >&2; exit 2 ;;
    esac
    sysroot=/usr/$triple
    run=("qemu-$proc" -L "$sysroot")
    [ "${count[0]}" = armel_count ] && run+=(-cpu "${count[1]}")
    return 0
}
work=$(mktemp -d "${TMPDIR:-/tmp}/vexa-arm.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ -z "$file" ]; then
    file=$work/cbr128.mp3
    sox -n -r 44100 -c 2 -b 16 "$work/music.wav" synth 20 pluck C3 pluck E4 pluck G4 sine 880 \
        brownnoise remix 1,2,5 3,4,5 gain -3 tremolo 3 40
    lame --quiet -b 128 -m j "$work/music.wav" "$file"
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

# The host's decode of the file is the reference for the guests' PCM.
host=$here/build/bin/vexa-decode
[ -x "$host" ] && "$host" "$file" "$work/host.pcm" >/dev/null 2>&1 || host=

for arch in $arches; do
    target "$arch"
    for simd in ON OFF; do
        tree=$here/build-cross/$arch-simd-$simd
        cmake -S "$here" -B "$tree" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$here/cmake/$triple.cmake" "${target_args[@]}" \
            -DVEXA_BUILD_TESTS=OFF -DVEXA_BUILD_BENCH=OFF -DVEXA_ALSA=OFF \
            -DVEXA_SIMD=$simd "${launcher[@]}" >/dev/null
        cmake --build "$tree" -j2 --target vexa_decode >/dev/null
        n=$("${count[@]}" "$tree/bin/vexa-decode" "$file" "$work/$arch-$simd.pcm" | awk '{print $1}')
        same=unchecked
        [ -n "$host" ] && { cmp -s "$work/host.pcm" "$work/$arch-$simd.pcm" && same=identical || same=DIFFERENT; }
        printf '%-8s fast paths %-3s %6.1f M guest instructions  PCM vs host: %s\n' "$arch" "$simd" \
            "$(echo "$n / 1000000" | bc -l)" "$same"
        [ "$same" = DIFFERENT ] && status=1
        if [ "$golden" = 1 ] && [ -n "$host" ]; then
            checked=0 differ=0
            for f in "$here"/tests/vectors/*.bit "$here"/tests/fixtures/mp3/*.mp3; do
                [ -f "$f" ] || continue
                "$host" "$f" "$work/h.pcm" >/dev/null 2>&1 || true
                "${run[@]}" "$tree/bin/vexa-decode" "$f" "$work/g.pcm" >/dev/null 2>&1 || true
                checked=$((checked + 1))
                cmp -s "$work/h.pcm" "$work/g.pcm" || { differ=$((differ + 1)); echo "  differs: $f"; }
            done
            printf '%-8s fast paths %-3s golden files: %d checked, %d differ
' "$arch" "$simd" $checked $differ
            [ $differ = 0 ] || status=1
        fi
    done
done
# The converter, per source rate: the MPEG rates, then WAV rates that interpolate per output.
if [ "$converter" = 1 ]; then
    for arch in $arches; do
        target "$arch"
        tree=$here/build-cross/$arch-bench
        cmake -S "$here" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/$triple.cmake" \
            "${target_args[@]}" -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_TESTS=OFF \
            -DVEXA_ALSA=OFF "${launcher[@]}" >/dev/null
        cmake --build "$tree" -j2 --target vexa-bench >/dev/null
        insns() { "${count[@]}" "$tree/bin/vexa-bench" "resample:$1" | awk '{print $1}'; }
        printf '%-8s converter: M guest instructions per second of audio\n' "$arch"
        printf '%16s %8s %9s\n' "source rate" fast portable
        for rate in 48000 32000 24000 16000 12000 96000 88200 64000; do
            base=$(insns "$rate:0")
            fast=$(insns "$rate:1")
            portable=$(insns "$rate:1:portable")
            printf '%13s Hz %8.2f %9.2f\n' "$rate" "$(echo "($fast - $base) / 1000000" | bc -l)" \
                "$(echo "($portable - $base) / 1000000" | bc -l)"
        done
    done
fi
# The whole player against decoding alone, per second of playback.
if [ "$player" = 1 ]; then
    for rate in 44100 48000; do
        for s in 5 10; do
            sox -n -r $rate -c 2 -b 16 "$work/p.wav" synth $s pluck C3 pluck E4 pluck G4 \
                sine 880 brownnoise remix 1,2,5 3,4,5 gain -3 tremolo 3 40
            lame --quiet -b 128 -m j "$work/p.wav" "$work/p$rate-$s.mp3"
        done
    done
    # blocks LOG: the guest instructions a qemu log holds (and the log removed).
    blocks() {
        python3 "$(dirname "$counter")/qemu-block-count.py" "$1" | awk '{print $1}'
        rm -f "$1"
    }
    for arch in $arches; do
        target "$arch"
        tree=$here/build-cross/$arch-player
        cmake -S "$here" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/$triple.cmake" \
            "${target_args[@]}" -DCMAKE_BUILD_TYPE=Release -DVEXA_BUILD_BENCH=OFF \
            -DVEXA_ALSA=OFF "${launcher[@]}" >/dev/null
        cmake --build "$tree" -j2 --target vexa vexa_decode ossim >/dev/null
        printf '%-8s M guest instructions per second of playback\n' "$arch"
        printf '%16s %8s %8s %10s\n' "source rate" player decode difference
        for rate in 44100 48000; do
            for s in 5 10; do
                # Both processes log to the one file: the forked player inherits it.
                OSSIM_REALTIME=0 OSSIM_REPORT= OSSIM_OUTPUT=/dev/null VEXA_DEBUG_LEVEL=0 \
                    "${run[@]}" -E LD_PRELOAD="$tree/lib/libossim.so" -d in_asm,exec,nochain \
                    -D "$work/player.log" "$tree/bin/vexa" "$work/p$rate-$s.mp3" >/dev/null
                play[s]=$(blocks "$work/player.log")
                "${run[@]}" -d in_asm,exec,nochain -D "$work/decode.log" "$tree/bin/vexa-decode" \
                    "$work/p$rate-$s.mp3" /dev/null >/dev/null 2>&1
                dec[s]=$(blocks "$work/decode.log")
            done
            p=$(echo "(${play[10]} - ${play[5]}) / 5000000" | bc -l)
            d=$(echo "(${dec[10]} - ${dec[5]}) / 5000000" | bc -l)
            printf '%13s Hz %8.2f %8.2f %10.2f\n' $rate "$p" "$d" "$(echo "$p - $d" | bc -l)"
        done
    done
fi
[ "$keep" = 1 ] || rm -rf "$here/build-cross"
exit ${status:-0}
