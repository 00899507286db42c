"""The bash completion offers, at each fixed place of the command line, what the
program accepts there, and leaves the user's shell options as they were."""

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

PROGRAM = os.environ["QVC_PROGRAM"]
SOURCE_DIR = Path(os.environ["QVC_SOURCE_DIR"])
COMPLETION = SOURCE_DIR / "completion/quorle-video-compress.bash"

# Loads the completion, then completes the words given as arguments, the last one
# being the word under the cursor; prints the offers one per line, sorted.
DRIVER = r"""
source "$COMPLETION"
COMP_WORDS=(quorle-video-compress "$@")
COMP_CWORD=$#
_quorle_video_compress
printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
shopt -q extglob && echo "(extglob on)"
"""


class CompletionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="qvc-completion-"))
        for name in ("clip.mov", "notes.txt", "old.MP4", "take.m4v"):
            (cls.work / name).write_text("")
        (cls.work / "videos").mkdir()
        usage = subprocess.run([PROGRAM], capture_output=True, text=True).stderr.strip()
        cls.profiles = sorted(usage.rsplit(" ", 1)[1].split("|") + ["camera", "screen"])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def complete(self, *words, extglob=False):
        script = ("shopt -s extglob\n" if extglob else "") + DRIVER
        run = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "driver", *words],
                             capture_output=True, text=True, cwd=self.work,
                             env=dict(os.environ, COMPLETION=str(COMPLETION)))
        self.assertEqual(run.stderr, "")
        return [line for line in run.stdout.splitlines() if line]

    def test_registered_for_the_program(self):
        run = subprocess.run(["bash", "--norc", "-c", f'source "{COMPLETION}"; complete -p quorle-video-compress'],
                             capture_output=True, text=True)
        self.assertEqual(run.stdout.strip(), "complete -F _quorle_video_compress quorle-video-compress")

    def test_offers_by_place(self):
        cases = [
            ("input: any file or folder", ("",), ["clip.mov", "notes.txt", "old.MP4", "take.m4v", "videos"]),
            ("input: by prefix", ("cl",), ["clip.mov"]),
            ("output: folders and names the program writes", ("clip.mov", ""),
             ["clip.mov", "old.MP4", "take.m4v", "videos"]),
            ("after the paths: the two options", ("clip.mov", "out.mp4", ""), ["--encoder", "--profile"]),
            ("option by prefix", ("clip.mov", "out.mp4", "--e"), ["--encoder"]),
            ("encoder modes; auto is not one", ("clip.mov", "out.mp4", "--encoder", ""), ["hardware", "software"]),
            ("profiles after --profile", ("clip.mov", "out.mp4", "--profile", ""), self.profiles),
            ("profiles by prefix", ("clip.mov", "out.mp4", "--profile", "screen-"),
             ["screen-balanced", "screen-high", "screen-optimized"]),
            ("after the encoder: only --profile", ("clip.mov", "out.mp4", "--encoder", "software", ""), ["--profile"]),
            ("profiles after the encoder", ("clip.mov", "out.mp4", "--encoder", "hardware", "--profile", ""),
             self.profiles),
            ("nothing after the profile", ("clip.mov", "out.mp4", "--profile", "camera", ""), []),
            ("nothing after a wrong option", ("clip.mov", "out.mp4", "--quality", ""), []),
            ("nothing past the last place", ("a", "b", "--encoder", "software", "--profile", "camera", ""), []),
        ]
        for name, words, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.complete(*words), sorted(expected))

    def test_shell_options_left_as_they_were(self):
        self.assertNotIn("(extglob on)", self.complete("clip.mov", ""))
        self.assertIn("(extglob on)", self.complete("clip.mov", "", extglob=True))


if __name__ == "__main__":
    unittest.main()
