#!/usr/bin/env python3
"""Runs quorle-video-compress on one file the way a host application does: draws a
progress bar from its "PROGRESS n" lines, passes Ctrl-C (SIGINT) and SIGTERM on to
it, and reports the outcome from its exit status and its one line on standard error.

    compress_with_progress.py INPUT OUTPUT [--encoder hardware|software] [--profile NAME]
                              [--tool PATH]

Exits with the tool's own status: 0 written, 1 failed, 2 refused, 143 interrupted.
Needs nothing beyond Python's standard library.
"""

import argparse
import os
import signal
import subprocess
import sys

BAR_WIDTH = 40


def draw(percent, out, live):
    filled = BAR_WIDTH * percent // 100
    bar = f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {percent:3d}%"
    # On a terminal the bar is redrawn in place; in a log each step gets its own line.
    out.write(("\r" + bar) if live else (bar + "\n"))
    out.flush()


def main():
    parser = argparse.ArgumentParser(description="Compress one video with a progress bar.")
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--encoder", choices=["hardware", "software"],
                        help="leave out to let the tool choose (auto)")
    parser.add_argument("--profile", default="camera", help="profile or alias (default: camera)")
    parser.add_argument("--tool", default="quorle-video-compress", help="the program to run")
    options = parser.parse_args()

    command = [options.tool, options.input, options.output]
    if options.encoder:
        command += ["--encoder", options.encoder]
    command += ["--profile", options.profile]

    tool = None
    interrupted = False

    def pass_on(signum, _frame):
        nonlocal interrupted
        interrupted = True
        # The tool deletes its partial output and ends with 143 for either signal.
        if tool is not None and tool.poll() is None:
            tool.send_signal(signum)

    signal.signal(signal.SIGINT, pass_on)
    signal.signal(signal.SIGTERM, pass_on)
    try:
        # A session of its own: a Ctrl-C at the terminal reaches only this host, which
        # passes it on, so the tool gets it exactly once.
        tool = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, start_new_session=True)
    except OSError as error:
        print(f"cannot start {options.tool}: {error.strerror}", file=sys.stderr)
        return 127
    if interrupted:
        # Came while the tool was being started.
        tool.send_signal(signal.SIGINT)

    live = sys.stdout.isatty()
    encoder = None
    shown = False
    for line in tool.stdout:
        word, _, value = line.rstrip("\n").partition(" ")
        if word == "PROGRESS" and value.isdigit():
            draw(int(value), sys.stdout, live)
            shown = True
        elif word == "ENCODER":
            encoder = value
        # Any other line is not ours to understand; a newer tool may add some.
    # The tool writes at most one line there, so it cannot fill the pipe while we read
    # standard output first.
    failure = tool.stderr.read().strip()
    status = tool.wait()
    if shown and live:
        print()

    if status == 0:
        size = os.path.getsize(options.output)
        print(f"done: {options.output} ({size} bytes, encoder {encoder})")
    elif status == 143:
        print(f"interrupted: no output file was left (exit status {status})", file=sys.stderr)
    elif status < 0:
        name = signal.Signals(-status).name
        if interrupted and -status in (signal.SIGINT, signal.SIGTERM):
            # The tool handles both signals once it has accepted its paths; before
            # that it has written nothing.
            print(f"interrupted before the job began: nothing was written ({name})", file=sys.stderr)
        else:
            # A signal the tool does not handle gives it no chance to clean up.
            print(f"ended by {name}: {options.output} may be left incomplete", file=sys.stderr)
        return 128 - status
    else:
        kind = "refused" if status == 2 else "failed"
        print(f"{kind}: {failure or 'no reason given'} (exit status {status})", file=sys.stderr)
    if interrupted and status != 143:
        print("(the interruption came too late to stop the job)", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
