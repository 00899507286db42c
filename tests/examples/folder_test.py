"""The folder example, run against the built program: it compresses every video of a
folder tree into the same places under another folder, reports each file, logs each
file's exit status and sums up the bytes saved; failures are logged per file; jobs go
to other machines through an sshloginfile; an interruption leaves no partial output."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

PROGRAM = os.environ["QVC_PROGRAM"]
SOURCE_DIR = Path(os.environ["QVC_SOURCE_DIR"])
FFMPEG = os.environ["QVC_FFMPEG"]
SCRIPT = SOURCE_DIR / "examples/compress-folder.sh"
FAKE_SSH = Path(__file__).resolve().parent / "fake-ssh"


def ffmpeg(*arguments):
    subprocess.run([FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *arguments], check=True)


def read_log(path):
    lines = path.read_text().splitlines()
    header = lines[0].split("\t")
    return {row["file"]: row for row in (dict(zip(header, line.split("\t"))) for line in lines[1:])}


class FolderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.fixtures = Path(tempfile.mkdtemp(prefix="qvc-folder-fixtures-"))
        cls.clip = cls.fixtures / "clip.mp4"
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30",
               "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
               "-t", "1", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", str(cls.clip))
        cls.silent = cls.fixtures / "silent.mkv"
        ffmpeg("-f", "lavfi", "-i", "testsrc=size=240x180:rate=25", "-t", "1", "-c:v", "libx264",
               "-pix_fmt", "yuv420p", str(cls.silent))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.fixtures)

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="qvc-folder-"))
        self.addCleanup(shutil.rmtree, self.work)
        self.input = self.work / "videos"
        self.output = self.work / "small"
        self.input.mkdir()

    def put(self, name, fixture):
        path = self.input / name
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(fixture, path)

    def put_three(self):
        self.put("a.mp4", self.clip)
        self.put("trip/b.MOV", self.clip)
        self.put("c.mkv", self.silent)
        (self.input / "notes.txt").write_text("not a video\n")
        return {"a.mp4": "a.mp4", "trip/b.MOV": "trip/b.MOV", "c.mkv": "c.mkv.mp4"}

    def compress(self, *options, env=None):
        return subprocess.run(["bash", str(SCRIPT), "--tool", PROGRAM, "--profile", "screen", *options,
                               str(self.input), str(self.output)],
                              capture_output=True, text=True, timeout=120, env=env)

    def assertCompressed(self, run, outputs):
        """Every file compressed to its place, reported, logged with its sizes, and summed up."""
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        log = read_log(self.output / "compress-folder.log")
        self.assertEqual(set(log), set(outputs))
        saved = 0
        for source, target in outputs.items():
            in_bytes = (self.input / source).stat().st_size
            out_bytes = (self.output / target).stat().st_size
            saved += in_bytes - out_bytes
            self.assertEqual(log[source]["status"], "0")
            self.assertEqual((int(log[source]["input_bytes"]), int(log[source]["output_bytes"])), (in_bytes, out_bytes))
            self.assertIn(f"ok       {source}  {in_bytes} -> {out_bytes} bytes\n", run.stdout)
        self.assertIn(f"{len(outputs)} files: {len(outputs)} compressed, 0 failed, 0 not finished\n", run.stdout)
        self.assertRegex(run.stdout, rf"bytes, {saved} bytes saved \(")
        return log

    def test_three_files_on_the_local_cores(self):
        outputs = self.put_three()
        log = self.assertCompressed(self.compress(), outputs)
        self.assertEqual({row["machine"] for row in log.values()}, {os.uname().nodename})
        self.assertEqual(sorted(str(p.relative_to(self.output)) for p in self.output.rglob("*") if p.is_file()),
                         sorted(list(outputs.values()) + ["compress-folder.log"]))

    def test_each_failure_logged_with_its_status_and_line(self):
        self.put("good.mp4", self.clip)
        (self.input / "broken.mov").write_text("not a video\n")
        run = self.compress()
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        log = read_log(self.output / "compress-folder.log")
        self.assertEqual(log["good.mp4"]["status"], "0")
        self.assertEqual(log["broken.mov"]["status"], "1")
        self.assertTrue(log["broken.mov"]["message"].startswith("cannot open the media: "))
        self.assertEqual(log["broken.mov"]["output_bytes"], "0")
        self.assertIn("FAILED   broken.mov  status 1: cannot open the media: ", run.stdout)
        self.assertIn("2 files: 1 compressed, 1 failed, 0 not finished\n", run.stdout)
        self.assertFalse((self.output / "broken.mov").exists())

    def test_several_machines_from_an_sshloginfile(self):
        outputs = self.put_three()
        logins = self.work / "machines"
        logins.write_text(f"# one job at a time on each\n1//{FAKE_SSH} host-a\n1//{FAKE_SSH} host-b\n")
        ssh_log = self.work / "ssh.log"
        run = self.compress("--sshloginfile", str(logins), env=dict(os.environ, FAKE_SSH_LOG=str(ssh_log)))
        log = self.assertCompressed(run, outputs)
        self.assertLessEqual({row["machine"] for row in log.values()}, {"host-a", "host-b"})
        self.assertEqual(set(ssh_log.read_text().split()), {"host-a", "host-b"})

    def test_interruption_stops_jobs_and_leaves_no_partial_output(self):
        # Minutes of 720p, made quickly by joining copies of one second without re-encoding.
        second = self.work / "second.mp4"
        ffmpeg("-f", "lavfi", "-i", "color=c=gray:size=1280x720:rate=30", "-t", "1",
               "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", str(second))
        ffmpeg("-stream_loop", "59", "-i", str(second), "-c", "copy", str(self.input / "first.mp4"))
        shutil.copyfile(self.input / "first.mp4", self.input / "second.mp4")

        # Ctrl-C at a terminal signals the whole foreground process group.
        run = subprocess.Popen(["bash", str(SCRIPT), "--tool", PROGRAM, "--jobs", "1", "--profile", "camera-high",
                                str(self.input), str(self.output)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
        try:
            deadline = time.monotonic() + 30
            while not (self.output / "first.mp4").exists() and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertTrue((self.output / "first.mp4").exists(), "the first job never started writing")
            os.killpg(run.pid, signal.SIGINT)
            stdout, stderr = run.communicate(timeout=60)
        finally:
            if run.poll() is None:
                os.killpg(run.pid, signal.SIGKILL)
        self.assertEqual(run.returncode, 130, stdout + stderr)
        log = read_log(self.output / "compress-folder.log")
        self.assertEqual(log["first.mp4"]["status"], "143")
        self.assertEqual((log["second.mp4"]["status"], log["second.mp4"]["message"]), ("-", "not run: interrupted"))
        self.assertIn("2 files: 0 compressed, 0 failed, 2 not finished\n", stdout)
        self.assertEqual([p.name for p in self.output.iterdir()], ["compress-folder.log"])


if __name__ == "__main__":
    unittest.main()
