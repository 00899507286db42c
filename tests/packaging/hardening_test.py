"""The program, as installed and as packaged, is built the way Debian hardens its own
programs, as Debian's hardening-check (devscripts) reads the binary: position
independent, stack protected, fortified C library calls, read-only relocations and
immediate binding (full RELRO)."""

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

BUILD_DIR = Path(os.environ["QVC_BUILD_DIR"])
BINARY = "usr/bin/quorle-video-compress"

# What must read "yes". Control-flow integrity (IBT and shadow stack) is left out: the
# C library's start files on Debian 12 carry no such marking, so no program linked there
# has it, Debian's own included.
REQUIRED = ("Position Independent Executable", "Stack protected", "Fortify Source functions",
            "Read-only relocations", "Immediate binding")


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


class HardeningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tool = shutil.which("hardening-check")
        if cls.tool is None:
            raise AssertionError("hardening-check is missing: scripts/setup.sh installs devscripts")
        cls.work = Path(tempfile.mkdtemp(prefix="qvc-hardening-"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def assertHardened(self, binary):
        checked = run(self.tool, "--nocfprotection", str(binary))
        report = {}
        for line in checked.stdout.splitlines()[1:]:
            name, _, verdict = line.strip().partition(": ")
            report[name] = verdict
        for name in REQUIRED:
            self.assertTrue(report.get(name, "").startswith("yes"), f"{name}: {report.get(name)}\n{checked.stdout}")
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_installed_program(self):
        root = self.work / "installed"
        installed = run("cmake", "--install", str(BUILD_DIR), "--prefix", "/usr",
                        env=dict(os.environ, DESTDIR=str(root)))
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        self.assertHardened(root / BINARY)

    def test_packaged_program(self):
        # Stripped on the way into the package; the marks it is judged by stay.
        out = self.work / "package"
        made = run("cpack", "-G", "DEB", "--config", str(BUILD_DIR / "CPackConfig.cmake"), "-B", str(out))
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        (package,) = out.glob("*.deb")
        root = self.work / "packaged"
        extracted = run("dpkg-deb", "-x", str(package), str(root))
        self.assertEqual(extracted.returncode, 0, extracted.stderr)
        self.assertHardened(root / BINARY)


if __name__ == "__main__":
    unittest.main()
