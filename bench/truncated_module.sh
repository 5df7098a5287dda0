#!/usr/bin/env bash
# How the player meets a sound module cut short, as an interrupted copy or
# install leaves it: the module is stripped (as a Release build ships it),
# cut to each size in turn and put beside a copy of the program, which then
# plays one note (its first marker shows that it plays on).
#   bench/truncated_module.sh build/src/smfstream build/src/libsmfstream-sound.so
# One line per size: the size, the exit status, the marker, the lines that
# name the sound module.
set -u
program=$1 module=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/smfstream"
strip --strip-unneeded -o "$work/whole.so" "$module"
# One note at tick 0, a quarter note long.
printf 'MThd\0\0\0\6\0\0\0\1\0\140MTrk\0\0\0\15\0\220\74\144\140\200\74\0\0\377\57\0' > "$work/note.mid"
whole=$(stat -c %s "$work/whole.so")
for size in 1000 2000 5000 10000 20000 40000 60000 80000 $((whole - 1)) "$whole"; do
  head -c "$size" "$work/whole.so" > "$work/libsmfstream-sound.so"
  sh -c 'sleep 2 | SMFSTREAM_DEVICE="synth:$1/out.wav" "$1/smfstream" 100 "$1/note.mid" > "$1/out" 2> "$1/err"' \
      sh "$work" 2>/dev/null
  status=$?
  echo "$size of $whole bytes: exit $status, markers '$(cat "$work/out")', $(grep -c 'sound module' "$work/err") line(s): $(grep 'sound module' "$work/err" | head -1)"
done
