#!/usr/bin/env python3
"""Checks that quorle-video-compress stays within fixed resource bounds.

Two questions, each answered by whole runs of the built program on sources made by the
ffmpeg tool (the same on every run and machine):

- Does peak memory stay under a fixed ceiling on a heavy source: 3840x2160 at 60 fps
  with sound, under the profiles that decode every one of its pictures?
- Does anything grow with the length of the source? The same content kind for 1 and
  for 10 minutes: peak memory, the most descriptors open at once and the most threads
  at once must come out the same within a small tolerance.

While a run goes, /proc/PID/status (VmHWM, Threads) and /proc/PID/fd are sampled; the
peak resident memory is the kernel's own figure for the ended process (wait4's
ru_maxrss, which is what GNU time reports as "Maximum resident set size"). Exits with 1
when a bound is broken or a run fails. See bench/README.md.
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import json
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

from common import fail, log, run

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent

# The fixed ceiling for the 4K60 source, in MiB of peak resident memory. What the job
# holds does not depend on the length; on a 4K source it is dominated by the decoder's
# pictures (12 MiB each: the reference pictures, one per decoding thread, the few the
# reader draws ahead) and x264's 40-picture look-ahead at the output size. Both grow
# with the number of cores, since both libraries start a thread per core: the ceiling
# was set on a two-core machine; pass --ceiling on a larger one.
CEILING_MIB = 1024

# How much the 10-minute run may exceed the 1-minute one: memory by a fraction plus a
# little for allocator noise; descriptors and threads by a couple (a short-lived
# thread may be caught by one sampling and missed by the other).
MEMORY_FRACTION = 0.10
MEMORY_SLACK_MIB = 16
COUNT_SLACK = 2

SAMPLE_SECONDS = 0.05


# --- Sources ----------------------------------------------------------------------------

# A moving test picture with detail at several scales and a running clock, and two
# tones, one per channel: cheap to make at any length, and every picture differs.
def recipe(size: str, rate: int, seconds: int) -> list[str]:
    return [
        "ffmpeg", "-nostdin", "-y", "-v", "error",
        "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
        "-f", "lavfi", "-i", "sine=frequency=660:sample_rate=48000",
        "-filter_complex", "[1:a][2:a]join=inputs=2:channel_layout=stereo[a]",
        "-map", "0:v", "-map", "[a]", "-t", str(seconds),
        "-c:v", "libx264", "-preset", "veryfast", "-crf", "23", "-pix_fmt", "yuv420p",
        "-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "bt709",
        "-c:a", "aac", "-b:a", "128k",
    ]


SOURCES = {
    "4k60": ("3840x2160", 60, 15),
    "1min": ("1280x720", 30, 60),
    "10min": ("1280x720", 30, 600),
}


def make_source(work: Path, name: str) -> Path:
    size, rate, seconds = SOURCES[name]
    args = recipe(size, rate, seconds)
    version = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.splitlines()[0]
    key = hashlib.sha256(json.dumps([args, version]).encode()).hexdigest()[:12]
    target = work / f"{name}-{key}.mp4"
    if target.exists():
        return target
    log(f"making source {target.name} ({size}, {rate} fps, {seconds} s)")
    started = time.monotonic()
    partial = work / f"partial-{target.name}"
    run([*args, str(partial)])
    partial.rename(target)
    log(f"made {target.name} in {time.monotonic() - started:.0f} s")
    return target


# --- Measuring one run ----------------------------------------------------------------------


def status_fields(pid: int) -> dict[str, int]:
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS", "Threads"):
                fields[key] = int(value.split()[0])
    return fields


def measured(binary: Path, source: Path, output: Path, profile: str) -> dict:
    """Runs the program once, sampling its descriptors and threads until it ends."""
    output.unlink(missing_ok=True)
    started = time.monotonic()
    process = subprocess.Popen([str(binary), str(source), str(output), "--profile", profile],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # The pipes are drained by threads of their own so that the program never waits on us.
    streams = {}

    def drain(name: str, pipe) -> None:
        streams[name] = pipe.read().decode(errors="replace")

    drains = [threading.Thread(target=drain, args=(n, p)) for n, p in (("out", process.stdout),
                                                                          ("err", process.stderr))]
    for t in drains:
        t.start()
    peak = {"fds": 0, "threads": 0, "hwm_kib": 0, "samples": 0}
    ended = None
    while ended is None:
        try:
            fields = status_fields(process.pid)
            fds = len(os.listdir(f"/proc/{process.pid}/fd"))
        except (FileNotFoundError, ProcessLookupError, ValueError):
            fields, fds = {}, 0  # ending: a zombie has no descriptors left to count
        if fields:
            peak["fds"] = max(peak["fds"], fds)
            peak["threads"] = max(peak["threads"], fields.get("Threads", 0))
            peak["hwm_kib"] = max(peak["hwm_kib"], fields.get("VmHWM", 0))
            peak["samples"] += 1
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid == process.pid:
            ended = (status, usage)
        else:
            time.sleep(SAMPLE_SECONDS)
    process.returncode = os.waitstatus_to_exitcode(ended[0])
    for t in drains:
        t.join()
    wall = time.monotonic() - started
    lines = streams["out"].splitlines()
    if process.returncode != 0 or lines[-2:-1] != ["ENCODER auto"]:
        fail(f"{source.name} under {profile}: status {process.returncode}, stderr: {streams['err'].strip()}")
    usage = ended[1]
    return {
        "profile": profile,
        "wall_s": round(wall, 1),
        "cpu_s": round(usage.ru_utime + usage.ru_stime, 1),
        "peak_rss_mib": round(usage.ru_maxrss / 1024, 1),  # kibibytes on Linux
        "sampled_hwm_mib": round(peak["hwm_kib"] / 1024, 1),
        "peak_fds": peak["fds"],
        "peak_threads": peak["threads"],
        "samples": peak["samples"],
        "output_mib": round(output.stat().st_size / 2**20, 1),
    }


# --- Checks and the report -------------------------------------------------------------------


def checks(results: dict, ceiling: float) -> list[str]:
    broken = []
    for run_ in results["4k60"]:
        if run_["peak_rss_mib"] > ceiling:
            broken.append(f"4k60 under {run_['profile']}: peak memory {run_['peak_rss_mib']} MiB "
                          f"above the ceiling of {ceiling} MiB")
    for short, long in zip(results["1min"], results["10min"]):
        memory_bound = short["peak_rss_mib"] * (1 + MEMORY_FRACTION) + MEMORY_SLACK_MIB
        if long["peak_rss_mib"] > memory_bound:
            broken.append(f"{long['profile']}: peak memory grew from {short['peak_rss_mib']} MiB (1 min) "
                          f"to {long['peak_rss_mib']} MiB (10 min)")
        for key, what in (("peak_fds", "open descriptors"), ("peak_threads", "threads")):
            if long[key] > short[key] + COUNT_SLACK:
                broken.append(f"{long['profile']}: {what} grew from {short[key]} (1 min) to {long[key]} (10 min)")
    return broken


def markdown(results: dict, meta: dict, broken: list[str]) -> str:
    lines = ["# Resource bounds", ""]
    lines += [f"- {key}: {value}" for key, value in meta.items()]
    lines += ["", "| Source | Profile | Peak memory (MiB) | Most descriptors | Most threads | Wall (s) | CPU (s) "
                  "| Samples |",
              "|---|---|---:|---:|---:|---:|---:|---:|"]
    for name, runs in results.items():
        size, rate, seconds = SOURCES[name]
        label = f"{name} ({size}, {rate} fps, {seconds} s)"
        for r in runs:
            lines.append(f"| {label} | {r['profile']} | {r['peak_rss_mib']} | {r['peak_fds']} | "
                         f"{r['peak_threads']} | {r['wall_s']} | {r['cpu_s']} | {r['samples']} |")
    lines += ["", f"Ceiling for the 4K60 source: {meta['ceiling']}. Growth allowed from 1 to 10 minutes: "
                  f"memory {MEMORY_FRACTION:.0%} + {MEMORY_SLACK_MIB} MiB, descriptors and threads "
                  f"{COUNT_SLACK}.", ""]
    lines += ["Every bound held." if not broken else "Bounds broken:"]
    lines += [f"- {b}" for b in broken]
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description="Checks that quorle-video-compress stays within fixed "
                                                 "resource bounds (see bench/README.md).")
    parser.add_argument("--binary", type=Path, default=ROOT / "build/src/app/quorle-video-compress",
                        help="our executable (default build/src/app/quorle-video-compress)")
    parser.add_argument("--work", type=Path, default=BENCH / "work" / "resources",
                        help="sources and outputs (default bench/work/resources, git-ignored)")
    parser.add_argument("--results", type=Path, default=BENCH / "results" / "resources.md",
                        help="the Markdown report (default bench/results/resources.md)")
    parser.add_argument("--ceiling", type=float, default=CEILING_MIB,
                        help=f"peak memory allowed for the 4K60 source, MiB (default {CEILING_MIB})")
    parser.add_argument("--length-profiles", default="camera-balanced,camera-high",
                        help="profiles for the 1- and 10-minute sources, comma-separated")
    parser.add_argument("--4k-profiles", dest="heavy_profiles", default="camera-high,screen-high",
                        help="profiles for the 4K60 source, comma-separated")
    parser.add_argument("--recheck", action="store_true",
                        help="check and report the figures of the last run (WORK/resources.json) again, "
                             "against the bounds given now, without running anything")
    args = parser.parse_args()
    work = args.work.resolve()

    if args.recheck:
        last = json.loads((work / "resources.json").read_text())
        meta = last["meta"] | {"ceiling": f"{args.ceiling:g} MiB"}
        broken = checks(last["runs"], args.ceiling)
        report = markdown(last["runs"], meta, broken)
        args.results.write_text(report)
        print(report)
        sys.exit(1 if broken else 0)

    missing = [tool for tool in ("ffmpeg", "ffprobe") if shutil.which(tool) is None]
    if missing:
        fail(f"missing {', '.join(missing)} (Debian: apt-get install ffmpeg)")
    binary = args.binary.resolve()
    if not os.access(binary, os.X_OK):
        fail(f"no executable at {binary}; build it (scripts/build.sh) or pass --binary")
    work.mkdir(parents=True, exist_ok=True)

    plan = {"4k60": [p for p in args.heavy_profiles.split(",") if p],
            "1min": [p for p in args.length_profiles.split(",") if p],
            "10min": [p for p in args.length_profiles.split(",") if p]}
    started = time.monotonic()
    results: dict[str, list[dict]] = {}
    for name, profiles in plan.items():
        source = make_source(work, name)
        results[name] = []
        for profile in profiles:
            log(f"{name} under {profile}")
            r = measured(binary, source, work / "out.mp4", profile)
            log(f"  peak memory {r['peak_rss_mib']} MiB, descriptors {r['peak_fds']}, threads "
                f"{r['peak_threads']}, {r['wall_s']} s")
            results[name].append(r)
    (work / "out.mp4").unlink(missing_ok=True)

    broken = checks(results, args.ceiling)
    meta = {
        "date": datetime.date.today().isoformat(),
        "machine": f"{os.cpu_count()} cores, {os.uname().machine}, shared with other work",
        "ffmpeg": subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.splitlines()[0],
        "ceiling": f"{args.ceiling:g} MiB",
        "total time": f"{(time.monotonic() - started) / 60:.1f} min",
    }
    report = markdown(results, meta, broken)
    args.results.parent.mkdir(parents=True, exist_ok=True)
    args.results.write_text(report)
    (work / "resources.json").write_text(json.dumps({"meta": meta, "runs": results}, indent=1) + "\n")
    print()
    print(report)
    if broken:
        sys.exit(1)


if __name__ == "__main__":
    main()
