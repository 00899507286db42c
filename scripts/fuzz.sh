#!/usr/bin/env bash
# Builds the source fuzzer into build-fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it, one process, on the committed seeds and the
# inputs kept in tests/fuzz/regressions/, growing its corpus in build-fuzz/corpus/.
#
#   scripts/fuzz.sh --ci           replays the kept inputs, then fuzzes for 2 minutes
#   scripts/fuzz.sh --minutes N    replays the kept inputs, then fuzzes for N minutes
#
# Exits non-zero on a crash, a leak, a time-out, running out of memory or a sanitizer
# report; the input that did it is left in build-fuzz/artifacts/. Prints the executions,
# the corpus size and the coverage at the end.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

minutes=2
case "${1:-}" in
  --ci) ;;
  --minutes)
    minutes=${2:?usage: fuzz.sh --ci | --minutes N}
    [[ "$minutes" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: --minutes takes a whole number" >&2; exit 2; } ;;
  *) echo "usage: fuzz.sh --ci | --minutes N" >&2; exit 2 ;;
esac

"$root/scripts/setup.sh"
build="$root/build-fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DQVC_FUZZ=ON >/dev/null
ninja -C "$build" -j2 source_fuzzer
fuzzer="$build/tests/fuzz/source_fuzzer"

# Each input is written to a file for the media layer to open: on tmpfs where there is one.
scratch_parent=/dev/shm
[[ -d "$scratch_parent" && -w "$scratch_parent" ]] || scratch_parent=${TMPDIR:-/tmp}
scratch=$(mktemp -d "$scratch_parent/qvc-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

# FFmpeg's libraries are not instrumented; what they leak is named in the suppressions.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:allocator_may_return_null=1"
export LSAN_OPTIONS="suppressions=$root/tests/fuzz/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

seeds="$root/tests/fuzz/seeds"
regressions="$root/tests/fuzz/regressions"
corpus="$build/corpus"
artifacts="$build/artifacts"
mkdir -p "$corpus" "$artifacts"

# Caps per input (tests/fuzz/README.md): a 30 s time-out, 2 GB of memory; inputs the
# fuzzer makes are at most 32 KB. The harness itself reads at most 4 s of each source's
# media.
limits=(-timeout=30 -rss_limit_mb=2048)

# Whole files: libFuzzer cuts an input named on its command line to -max_len.
echo "fuzz.sh: replaying the seeds and the kept inputs"
mapfile -t kept < <(find "$seeds" "$regressions" -type f ! -name '*.md' | sort)
"$fuzzer" "${limits[@]}" "${kept[@]}" 2>"$build/replay.log" || {
  tail -n 60 "$build/replay.log" >&2
  echo "fuzz.sh: a kept input fails (log: $build/replay.log)" >&2
  exit 1
}

echo "fuzz.sh: fuzzing for $minutes minute(s)"
log="$build/fuzz.log"
status=0
"$fuzzer" "${limits[@]}" -max_len=32768 -max_total_time=$((minutes * 60)) -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$corpus" "$seeds" "$regressions" >"$log" 2>&1 || status=$?

last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
files=$(find "$corpus" -type f | wc -l)
bytes=$(du -sb "$corpus" | cut -f1)
echo "fuzz.sh: ${executions:-?} executions at ${rate:-?}/s; corpus $files files, $bytes bytes"
echo "fuzz.sh: last status: ${last:-none}"
if [[ $status -ne 0 ]]; then
  grep -E -A40 '^==[0-9]+==|^SUMMARY|deadly signal|timeout|out-of-memory|source_fuzzer:' "$log" | head -n 80 >&2 || true
  echo "fuzz.sh: the fuzzer found a fault (status $status); input in $artifacts/, log $log" >&2
  exit 1
fi
