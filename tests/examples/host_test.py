"""The example host, run against the built program: its bar reaches 100 on success; on
a bad input it reports the program's failure line and ends with the program's status;
Ctrl-C reaches the program through it, and no output file is left."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

PROGRAM = os.environ["QVC_PROGRAM"]
SOURCE_DIR = Path(os.environ["QVC_SOURCE_DIR"])
FFMPEG = os.environ["QVC_FFMPEG"]
HOST = SOURCE_DIR / "examples/compress_with_progress.py"
BAR = re.compile(r"\[[#.]{40}\] +(\d+)%")


def ffmpeg(*arguments):
    subprocess.run([FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *arguments], check=True)


def processes_naming(text):
    """Processes whose command line holds text."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and text.encode() in (entry / "cmdline").read_bytes():
                found.append(int(entry.name))
        except OSError:
            pass
    return found


class HostTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="qvc-host-"))
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30",
               "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
               "-t", "2", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", str(cls.work / "clip.mp4"))
        (cls.work / "notes.mp4").write_text("not a video\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def host(self, *arguments):
        return [sys.executable, str(HOST), "--tool", PROGRAM, *arguments]

    def test_bar_reaches_100_on_success(self):
        output = self.work / "small.mp4"
        run = subprocess.run(self.host(str(self.work / "clip.mp4"), str(output), "--profile", "screen"),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stderr, "")
        percents = [int(match.group(1)) for match in BAR.finditer(run.stdout)]
        self.assertEqual(percents[0], 0)
        self.assertEqual(percents[-1], 100)
        self.assertEqual(percents, sorted(set(percents)))
        self.assertIn(f"[{'#' * 40}] 100%", run.stdout)
        self.assertIn(f"done: {output} ({output.stat().st_size} bytes, encoder auto)", run.stdout)

    def test_failure_line_and_status_reported(self):
        clip = str(self.work / "clip.mp4")
        out = str(self.work / "never.mp4")
        cases = [
            ("not a video", [str(self.work / "notes.mp4"), out], 1,
             "failed: cannot open the media: "),
            ("missing input", [str(self.work / "missing.mp4"), out], 2,
             "refused: cannot read the input file (exit status 2)"),
            ("output not MPEG-4", [clip, str(self.work / "never.mkv")], 2,
             "refused: output must end in .mp4, .m4v or .mov (exit status 2)"),
            ("profile names are exact", [clip, out, "--profile", "Camera"], 2,
             "refused: usage: quorle-video-compress <input> <output>"),
        ]
        for name, arguments, status, report in cases:
            with self.subTest(name):
                run = subprocess.run(self.host(*arguments), capture_output=True, text=True, timeout=60)
                self.assertEqual(run.returncode, status)
                self.assertTrue(run.stderr.startswith(report), run.stderr)
                self.assertTrue(run.stderr.endswith(f"(exit status {status})\n"), run.stderr)
                self.assertNotIn("100%", run.stdout)
                self.assertFalse(Path(out).exists())

    def test_ctrl_c_is_passed_on_and_leaves_no_output(self):
        # A minute of 720p: long enough that the job is still running when the signal
        # comes, and quick to make since the copies are joined without re-encoding.
        second = self.work / "second.mp4"
        minute = self.work / "minute.mp4"
        ffmpeg("-f", "lavfi", "-i", "color=c=gray:size=1280x720:rate=30", "-t", "1",
               "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", str(second))
        ffmpeg("-stream_loop", "59", "-i", str(second), "-c", "copy", str(minute))
        output = self.work / "interrupted.mp4"

        host = subprocess.Popen(self.host(str(minute), str(output), "--profile", "camera-high"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            # The first bar is drawn once the tool is writing.
            first = host.stdout.readline()
            self.assertRegex(first, BAR)
            self.assertTrue(output.exists())
            # Only the host is signalled: the tool runs in a session of its own, as it
            # would under a terminal where Ctrl-C reaches the host alone.
            host.send_signal(signal.SIGINT)
            rest, errors = host.communicate(timeout=30)
        finally:
            if host.poll() is None:
                host.kill()
        self.assertEqual(host.returncode, 143, errors)
        self.assertEqual(errors, "interrupted: no output file was left (exit status 143)\n")
        self.assertNotIn("100%", rest)
        self.assertFalse(output.exists())
        # The tool is gone too, not left running without its host.
        deadline = time.monotonic() + 5
        while processes_naming(str(output)) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(processes_naming(str(output)), [])


if __name__ == "__main__":
    unittest.main()
