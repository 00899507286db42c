#!/usr/bin/env bash
# Builds the program and its tests with sanitizers and runs the tests there.
#   sanitize.sh address   AddressSanitizer with its leak check, and UndefinedBehaviorSanitizer,
#                         in build-asan/: every test but those of the packaging
#   sanitize.sh thread    ThreadSanitizer in build-tsan/: the threaded rooms (lifecycle,
#                         console, pipeline, media), a few end-to-end jobs, and the check
#                         that the suppressions still let a fault of ours through
#   sanitize.sh           both, one after the other
# Any sanitizer report fails the test it happens in, whether in the test program or in
# the tool it runs as a child: the report goes to standard error and the process ends
# with status 86, which the tool never uses. Suppressions for reports from inside the
# uninstrumented libraries are in tests/sanitizers/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
suppressions=$root/tests/sanitizers
status=86

# Builds into build-<name>/ with the given -fsanitize= list.
build() {
  local dir=$root/build-$1 sanitizers=$2
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQVC_SANITIZE="$sanitizers" >/dev/null
  ninja -C "$dir" -j2
}

address() {
  build asan address,undefined
  # The packaging tests check what ships, not how the code runs: they stay in the
  # plain build.
  local asan="halt_on_error=1:exitcode=$status:detect_leaks=1:detect_stack_use_after_return=1"
  asan+=":check_initialization_order=1:strict_init_order=1:detect_odr_violation=2"
  ASAN_OPTIONS=$asan \
    LSAN_OPTIONS="suppressions=$suppressions/lsan.supp:print_suppressions=0" \
    UBSAN_OPTIONS="halt_on_error=1:exitcode=$status:print_stacktrace=1:suppressions=$suppressions/ubsan.supp" \
    ctest --no-tests=error --test-dir "$root/build-asan" --output-on-failure -j2 -LE '^packaging$'
}

# Prints, from the sanitizer's logs in $1, every report, then how often each
# suppression matched over the whole run; fails when there was a report.
tsan_summary() {
  local logs=$1 reports
  reports=$(grep -l 'WARNING: ThreadSanitizer' "$logs"/* 2>/dev/null || true)
  if [[ -n $reports ]]; then
    echo "sanitize.sh: ThreadSanitizer reports:" >&2
    cat $reports >&2
  fi
  echo "sanitize.sh: ThreadSanitizer suppressions matched (count, entry), all processes:"
  cat "$logs"/* 2>/dev/null | awk '
    /^ThreadSanitizer: Matched [0-9]+ suppressions/ { in_list = 1; next }
    in_list && /^[0-9]+ [a-z_]+:/ { count[$2] += $1; next }
    { in_list = 0 }
    END { n = 0; for (entry in count) { printf "  %6d %s\n", count[entry], entry; n++ } if (n == 0) print "  none" }' |
    sort -k2
  [[ -z $reports ]]
}

thread() {
  build tsan thread
  # The threads live in these rooms; of the whole program, the jobs that a signal, a
  # full disk, a damaged source or a host that hangs up stops half way, and one with
  # two pumps that runs to the end.
  # atexit_sleep_ms=0: no second's wait at every exit of a process with threads.
  # Reports and the count of matched suppressions go to a log per process, not to
  # standard error, where the tests hold the tool to one line; a report still ends the
  # process with the status that fails its test, and is printed at the end.
  local logs=$root/build-tsan/tsan-logs failed=0
  rm -rf "$logs"
  mkdir -p "$logs"
  local options="halt_on_error=1:exitcode=$status:second_deadlock_stack=1:atexit_sleep_ms=0"
  options+=":suppressions=$suppressions/tsan.supp:print_suppressions=1:log_path=$logs/tsan"
  # Left out: ThreadSanitizer's own _exit flushes standard output, so it blocks behind
  # the writer that this test leaves stuck on a full pipe (the other builds run it).
  TSAN_OPTIONS=$options ctest --no-tests=error --test-dir "$root/build-tsan" --output-on-failure -j2 \
    -L '^(lifecycle|console|pipeline|media|sanitizers)$' -E '^InterruptionTest\.EndsWhileAnotherThreadIsStuckWritingStandardOutput$' ||
    failed=1
  # Not the sweep of signals around the creation of the output: a signal that comes
  # while ThreadSanitizer starts a thread can find that thread with nothing blocked and
  # end the process by the default action, so its runs at the start of a job fail here
  # whatever the program does (the other builds run it).
  TSAN_OPTIONS=$options ctest --no-tests=error --test-dir "$root/build-tsan" --output-on-failure -j2 \
    -R '^EndToEnd\.(TerminationWhilePumpingLeavesNothing|DamagedSourceFailsWithOneLineAndNoFile|SoundTracksBecomeOneMonoTrackOrNone)$|^Faults\.(ADiskThatFillsWhileWritingFailsTheJobAndLeavesNothing|AHostThatClosesItsEndOfThePipeDoesNotChangeTheOutcome)$|^host_test$' ||
    failed=1
  tsan_summary "$logs" || failed=1
  return $failed
}

"$root/scripts/setup.sh"
case ${1:-both} in
  address) address ;;
  thread) thread ;;
  both)
    address
    thread
    ;;
  *)
    echo "usage: sanitize.sh [address|thread]" >&2
    exit 2
    ;;
esac
