#!/bin/sh
# tools/play.sh BUILD_DIR [vexa options] file [offset]
#
# Plays a file with BUILD_DIR/bin/vexa: through /dev/dsp when this machine has one, or
# through ALSA when the player has it and the machine has a sound card or a sound server
# (PulseAudio, PipeWire) for ALSA's default PCM; else through the project's OSS simulator
# (BUILD_DIR/lib/libossim.so, preloaded), which takes the sound in real time; what it took
# is then written as a 16-bit stereo 44100 Hz WAV file, BUILD_DIR/<file name without
# extension>.wav, or $VEXA_WAV when that is set.
# The exit status is the player's.
set -eu

if [ $# -lt 2 ]; then
    echo "usage: $0 BUILD_DIR [vexa options] file [offset]" >&2
    exit 2
fi
build=$1
shift
vexa=$build/bin/vexa

if [ -c /dev/dsp ]; then
    exec "$vexa" "$@"
fi
run=${XDG_RUNTIME_DIR:-/nonexistent}
if grep -q libasound.so "$vexa" 2>/dev/null &&
    { ls /dev/snd/pcmC*p >/dev/null 2>&1 || [ -S "$run/pulse/native" ] || [ -S "$run/pipewire-0" ]; }; then
    exec "$vexa" "$@"
fi

# The file operand, found the way the player finds it.
file=
options=1
for arg in "$@"; do
    if [ "$options" = 1 ]; then
        case $arg in
        --) options=0; continue ;;
        -*) continue ;;
        esac
    fi
    file=$arg
    break
done
name=$(basename "${file:-vexa}")
wav=${VEXA_WAV:-$build/${name%.*}.wav}
raw=$wav.raw

rm -f "$raw"
status=0
LD_PRELOAD="$build/lib/libossim.so${LD_PRELOAD:+:$LD_PRELOAD}" OSSIM_REALTIME=1 OSSIM_OUTPUT="$raw" \
    "$vexa" "$@" || status=$?
[ -f "$raw" ] || exit "$status"

# Little-endian 32-bit number.
le32() {
    printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) \
        $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}
bytes=$(wc -c <"$raw")
{
    printf 'RIFF'
    le32 $((bytes + 36))
    printf 'WAVEfmt '
    le32 16
    printf '\001\000\002\000' # PCM, 2 channels
    le32 44100
    le32 176400
    printf '\004\000\020\000' # 4 bytes per frame, 16 bits
    printf 'data'
    le32 "$bytes"
    cat "$raw"
} >"$wav"
rm -f "$raw"
echo "No /dev/dsp here: played through the OSS simulator into $wav"
exit "$status"
