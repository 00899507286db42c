#!/usr/bin/env bash
# Sets up, builds, makes a short sample video with sound and compresses it, showing
# every line the tool prints and its exit status. Usage: sample.sh [profile]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
profile=${1:-camera-balanced}

"$root/scripts/setup.sh"
"$root/scripts/build.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "making a 5 s 1280x720 30 fps sample with sound"
ffmpeg -nostdin -hide_banner -loglevel error \
  -f lavfi -i testsrc2=size=1280x720:rate=30 \
  -f lavfi -i sine=frequency=440:sample_rate=48000 \
  -t 5 -c:v libx264 -pix_fmt yuv420p -c:a aac -b:a 128k \
  "$work/sample.mp4"

echo "running: quorle-video-compress sample.mp4 compressed.mp4 --profile $profile"
set +e
"$root/build/src/app/quorle-video-compress" "$work/sample.mp4" "$work/compressed.mp4" \
  --profile "$profile" >"$work/stdout" 2>"$work/stderr"
status=$?
set -e

sed 's/^/  stdout: /' "$work/stdout"
sed 's/^/  stderr: /' "$work/stderr"
echo "exit status: $status"

if [[ -f "$work/compressed.mp4" ]]; then
  # One line: file size, picture size, frame rate and length, as ffprobe reads them.
  IFS=, read -r width height frame_rate < <(ffprobe -v error -select_streams v:0 \
    -show_entries stream=width,height,avg_frame_rate -of csv=p=0 "$work/compressed.mp4")
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/compressed.mp4")
  fps=$(awk -v r="$frame_rate" 'BEGIN { split(r, f, "/"); printf "%g", f[2] ? f[1] / f[2] : f[1] }')
  echo "output: $(stat -c %s "$work/compressed.mp4") bytes (sample $(stat -c %s "$work/sample.mp4"))," \
    "${width}x${height}, ${fps} fps, $(printf '%.2f' "$duration") s"
fi
exit "$status"
