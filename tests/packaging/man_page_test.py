"""The manual page renders cleanly, and what it says is what the program does: the
profile figures are those of the built-in table, and every failure line the program
prints is listed with the status it ends with."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

PROGRAM = os.environ["QVC_PROGRAM"]
BUILD_DIR = Path(os.environ["QVC_BUILD_DIR"])
SOURCE_DIR = Path(os.environ["QVC_SOURCE_DIR"])
FFMPEG = os.environ["QVC_FFMPEG"]

PAGE = SOURCE_DIR / "doc/quorle-video-compress.1"
BUILT_PAGE = BUILD_DIR / "doc/quorle-video-compress.1.gz"
LOCALE = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def plain_text():
    """The page as text, one paragraph or tag per line: no line length to wrap at, no
    hyphenation, no bold or underline, and plain hyphens for minus signs."""
    rendered = run("groff", "-man", "-Tutf8", "-rLL=1000n", "-P-cbou", str(PAGE), env=LOCALE)
    return rendered.stdout.replace("\u2212", "-").replace("\u2010", "-")


def section(text, title):
    lines = text.splitlines()
    start = lines.index(title) + 1
    end = next((i for i in range(start, len(lines)) if lines[i] and not lines[i][0].isspace()), len(lines))
    return lines[start:end]


def usage_profiles(usage_line):
    return usage_line.rsplit(" ", 1)[1].split("|")


class RenderingTest(unittest.TestCase):
    def test_man_renders_without_warnings_within_80_columns(self):
        for page in (PAGE, BUILT_PAGE):
            with self.subTest(page=page.name):
                shown = run("man", "--warnings", "-l", str(page), env=dict(LOCALE, MANWIDTH="80"))
                self.assertEqual(shown.returncode, 0, shown.stderr)
                self.assertEqual(shown.stderr, "")
                for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "PROFILES", "ENCODERS",
                                "OUTPUT", "DIAGNOSTICS", "EXIT STATUS", "SIGNALS", "FILES", "EXAMPLES"):
                    self.assertIn(f"\n{heading}\n", shown.stdout)
                too_long = [line for line in shown.stdout.splitlines() if len(line) > 80]
                self.assertEqual(too_long, [])

    def test_groff_finds_nothing_to_warn_about(self):
        checked = run("groff", "-man", "-Tutf8", "-ww", "-z", str(PAGE), env=LOCALE)
        self.assertEqual(checked.returncode, 0)
        self.assertEqual(checked.stderr, "")


class AgreementTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = plain_text()
        cls.usage = run(PROGRAM).stderr.rstrip("\n")

    def test_profile_figures_are_the_programs(self):
        source = (SOURCE_DIR / "src/cli/command_line.cpp").read_text()
        table = {name: tuple(int(figure) for figure in figures.split(","))
                 for name, figures in re.findall(r'\{"([a-z-]+)", \{([0-9, ]+)\}\}', source)}
        self.assertEqual(len(table), 6, "the profile table in src/cli/command_line.cpp was not found")

        documented = {}
        for line in section(self.text, "PROFILES"):
            row = re.fullmatch(r"\s*([a-z]+-[a-z]+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+) s", line)
            if row:
                edge, fps, video, sound, interval = (int(figure) for figure in row.groups()[1:])
                documented[row.group(1)] = (edge, fps, video * 1000, sound * 1000, interval)
        self.assertEqual(documented, table)
        self.assertEqual(set(documented), set(usage_profiles(self.usage)))

    def test_aliases_are_documented_and_accepted(self):
        for alias, name in (("camera", "camera-balanced"), ("screen", "screen-optimized")):
            with self.subTest(alias=alias):
                self.assertIn(f"{alias} stands for {name}.", self.text)
                # An accepted profile gets as far as the input check.
                job = run(PROGRAM, "/nonexistent/in.mp4", "/nonexistent/out.mp4", "--profile", alias)
                self.assertEqual(job.stderr, "cannot read the input file\n")

    def test_every_failure_line_is_listed_with_its_status(self):
        diagnostics = {}
        tag = None
        for line in section(self.text, "DIAGNOSTICS"):
            if line.startswith("       ") and not line.startswith("        "):
                tag = line.strip()
            elif line.strip() and tag:
                diagnostics.setdefault(tag, "")
                diagnostics[tag] += line.strip() + " "

        def documented_status(line):
            for tag, body in diagnostics.items():
                fixed = tag[: -len(" reason")] if tag.endswith(" reason") else tag
                if line == fixed or (tag.endswith(" reason") and line.startswith(fixed + " ")):
                    status = re.search(r"Status (\d+)\.", body)
                    return int(status.group(1)) if status else None
            self.fail(f"not in the DIAGNOSTICS section: {line!r}")

        work = Path(tempfile.mkdtemp(prefix="qvc-man-"))
        self.addCleanup(shutil.rmtree, work)
        (work / "notes.mp4").write_text("not a video\n")
        (work / "folder.mp4").mkdir()
        subprocess.run([FFMPEG, "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "sine=duration=1",
                        str(work / "sound.m4a")], check=True)
        subprocess.run([FFMPEG, "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                        "testsrc2=size=160x120:rate=10", "-t", "1", str(work / "clip.mp4")], check=True)
        out = str(work / "out.mp4")
        cases = [
            ("no arguments", []),
            ("unknown profile", ["clip.mp4", out, "--profile", "Camera"]),
            ("encoder auto named", ["clip.mp4", out, "--encoder", "auto", "--profile", "camera"]),
            ("missing input", ["missing.mp4", out, "--profile", "camera"]),
            ("output extension", ["clip.mp4", str(work / "out.mkv"), "--profile", "camera"]),
            ("output is the input", ["clip.mp4", "clip.mp4", "--profile", "camera"]),
            ("not a media file", ["notes.mp4", out, "--profile", "camera"]),
            ("no video", ["sound.m4a", out, "--profile", "camera"]),
            ("output is a folder", ["clip.mp4", "folder.mp4", "--profile", "camera"]),
        ]
        for name, arguments in cases:
            with self.subTest(name):
                job = run(PROGRAM, *arguments, cwd=work)
                lines = job.stderr.splitlines()
                self.assertEqual(len(lines), 1, job.stderr)
                self.assertEqual(documented_status(lines[0]), job.returncode)
        self.assertIn(self.usage, diagnostics)


if __name__ == "__main__":
    unittest.main()
