#!/usr/bin/env bash
# Makes the seed corpus of the source fuzzer: short, tiny, valid files over the
# containers and codecs sources come in, made by the ffmpeg tool with bit-exact flags so
# that the same ffmpeg makes the same bytes.
#   tests/fuzz/make_corpus.sh DIRECTORY
set -euo pipefail
out=${1:?usage: make_corpus.sh DIRECTORY}
mkdir -p "$out"

# Half a second of moving test picture at 10 frames per second, and a tone.
picture=(-f lavfi -i "testsrc2=size=64x36:rate=10:duration=0.5")
stereo=(-f lavfi -i "sine=frequency=440:sample_rate=8000:duration=0.5" -ac 2)
exact=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)
x264=(-c:v libx264 -preset ultrafast -x264-params threads=1 -pix_fmt yuv420p)
x265=(-c:v libx265 -preset ultrafast -x265-params log-level=none:pools=none:frame-threads=1 -pix_fmt yuv420p)

make() {
  local name=$1
  shift
  ffmpeg -nostdin -hide_banner -loglevel error -y "$@" "${exact[@]}" "$out/$name"
}

# name                  inputs                    video                       sound
make h264-aac.mp4       "${picture[@]}" "${stereo[@]}" "${x264[@]}"           -c:a aac -b:a 24k
make hevc-aac.mp4       "${picture[@]}" "${stereo[@]}" "${x265[@]}" -tag:v hvc1 -c:a aac -b:a 24k
make mpeg4.mp4          "${picture[@]}"                -c:v mpeg4 -q:v 10
make h264-frag.mp4      "${picture[@]}" "${stereo[@]}" "${x264[@]}" -bf 2 -c:a aac -b:a 24k \
                        -movflags frag_keyframe+empty_moov
make mjpeg-pcm.mov      "${picture[@]}" "${stereo[@]}" -t 0.3 -c:v mjpeg -pix_fmt yuvj420p -q:v 31 -c:a pcm_s16le -ac 1
make h264-turned.mov    "${picture[@]}" "${stereo[@]}" "${x264[@]}" -metadata:s:v:0 rotate=90 -c:a aac -b:a 24k
make hevc-flac.mkv      "${picture[@]}" "${stereo[@]}" "${x265[@]}"           -c:a flac
make h264-two-sounds.mkv "${picture[@]}" "${stereo[@]}" \
  -f lavfi -i "sine=frequency=220:sample_rate=8000:duration=0.4" \
  -map 0:v -map 1:a -map 2:a "${x264[@]}" -c:a:0 libopus -b:a:0 16k -c:a:1 flac
make vp9-opus.webm      "${picture[@]}" "${stereo[@]}" -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 50k \
                        -threads 1 -c:a libopus -b:a 16k
make hevc-pq.mkv        -f lavfi -i "testsrc2=size=64x36:rate=10:duration=0.5" \
  -c:v libx265 -preset ultrafast -pix_fmt yuv420p10le \
  -x265-params log-level=none:pools=none:frame-threads=1:colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc:max-cll=1000,400 \
  -color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc
make h264-mp3.ts        "${picture[@]}" "${stereo[@]}" "${x264[@]}"           -c:a libmp3lame -b:a 32k
make hevc-aac.ts        "${picture[@]}" "${stereo[@]}" "${x265[@]}"           -c:a aac -b:a 24k
make mpeg4-mp3.avi      "${picture[@]}" "${stereo[@]}" -c:v mpeg4 -q:v 20     -c:a libmp3lame -b:a 32k
make mjpeg-pcm.avi      "${picture[@]}" "${stereo[@]}" -t 0.3 -c:v mjpeg -pix_fmt yuvj420p -q:v 31 -c:a pcm_s16le -ac 1
make h264-aac.flv       "${picture[@]}" "${stereo[@]}" "${x264[@]}"           -c:a aac -b:a 24k
make h264-5.1.mkv       "${picture[@]}" -f lavfi -i "sine=frequency=330:sample_rate=16000:duration=0.5" \
  -af "aformat=channel_layouts=5.1" "${x264[@]}" -c:a flac
