"""What an installation and the Debian package put where, and that what they put
there is the program, its manual page, its completion, its copyright file and its
changelog, and that the program runs."""

import gzip
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

PROGRAM = Path(os.environ["QVC_PROGRAM"])
BUILD_DIR = Path(os.environ["QVC_BUILD_DIR"])
SOURCE_DIR = Path(os.environ["QVC_SOURCE_DIR"])
FFMPEG = os.environ["QVC_FFMPEG"]

BINARY = "usr/bin/quorle-video-compress"
MAN_PAGE = "usr/share/man/man1/quorle-video-compress.1.gz"
COMPLETION = "usr/share/bash-completion/completions/quorle-video-compress"
COPYRIGHT = "usr/share/doc/quorle-video-compress/copyright"
CHANGELOG = "usr/share/doc/quorle-video-compress/changelog.gz"


def files_under(root):
    return {str(path.relative_to(root)) for path in root.rglob("*") if not path.is_dir()}


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


class InstallationTest(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="qvc-install-"))
        self.addCleanup(shutil.rmtree, self.work)

    def assertInstalledTree(self, root):
        """Exactly these files, each the one from the source tree or the build."""
        self.assertEqual(files_under(root), {BINARY, MAN_PAGE, COMPLETION, COPYRIGHT, CHANGELOG})
        self.assertEqual((root / BINARY).stat().st_mode & 0o777, 0o755)
        for name in (MAN_PAGE, COMPLETION, COPYRIGHT, CHANGELOG):
            self.assertEqual((root / name).stat().st_mode & 0o777, 0o644, name)
        self.assertEqual(gzip.decompress((root / MAN_PAGE).read_bytes()),
                         (SOURCE_DIR / "doc/quorle-video-compress.1").read_bytes())
        self.assertEqual((root / COMPLETION).read_bytes(),
                         (SOURCE_DIR / "completion/quorle-video-compress.bash").read_bytes())
        self.assertEqual((root / COPYRIGHT).read_bytes(), (SOURCE_DIR / "doc/copyright").read_bytes())
        self.assertEqual(gzip.decompress((root / CHANGELOG).read_bytes()),
                         (SOURCE_DIR / "doc/changelog").read_bytes())

    def assertRunsAJob(self, binary):
        """The binary compresses a short clip with sound and says so as a host expects."""
        source = self.work / "clip.mp4"
        output = self.work / "clip-small.mp4"
        subprocess.run([FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                        "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30",
                        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
                        "-t", "1", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac",
                        str(source)], check=True)
        job = run(str(binary), str(source), str(output), "--profile", "camera", timeout=60)
        self.assertEqual(job.returncode, 0, job.stderr)
        self.assertEqual(job.stderr, "")
        self.assertEqual(job.stdout.splitlines()[-2:], ["ENCODER auto", "PROGRESS 100"])
        self.assertGreater(output.stat().st_size, 0)

    def test_cmake_install_into_a_staging_root(self):
        root = self.work / "root"
        installed = run("cmake", "--install", str(BUILD_DIR), "--prefix", "/usr",
                        env=dict(os.environ, DESTDIR=str(root)))
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        self.assertInstalledTree(root)
        self.assertEqual((root / BINARY).read_bytes(), PROGRAM.read_bytes())

    def test_debian_package(self):
        out = self.work / "package"
        made = run("cpack", "-G", "DEB", "--config", str(BUILD_DIR / "CPackConfig.cmake"), "-B", str(out))
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        packages = list(out.glob("*.deb"))
        self.assertEqual(len(packages), 1, packages)
        package = packages[0]

        def field(name):
            return run("dpkg-deb", "-f", str(package), name).stdout.strip()

        architecture = run("dpkg", "--print-architecture").stdout.strip()
        self.assertEqual(field("Package"), "quorle-video-compress")
        self.assertEqual(field("Architecture"), architecture)
        self.assertEqual(package.name, f"quorle-video-compress_{field('Version')}_{architecture}.deb")

        # The dependencies are what dpkg-shlibdeps found for the libraries the program
        # links: real package names, each installed here since the program runs here.
        depends = [entry.split()[0] for entry in field("Depends").split(", ")]
        self.assertIn("libc6", depends)
        self.assertTrue(any(name.startswith("libavcodec") for name in depends), depends)
        self.assertTrue(any(name.startswith("libavformat") for name in depends), depends)
        for name in depends:
            status = run("dpkg-query", "-W", "-f=${Status}", name).stdout
            self.assertEqual(status, "install ok installed", name)

        # Everything belongs to root and lies under /usr, as apt installs it.
        listing = run("dpkg-deb", "-c", str(package)).stdout.splitlines()
        self.assertTrue(listing)
        for line in listing:
            owner, path = line.split()[1], line.split()[-1]
            self.assertEqual(owner, "root/root", line)
            self.assertTrue(path.startswith("./usr/"), line)

        root = self.work / "root"
        extracted = run("dpkg-deb", "-x", str(package), str(root))
        self.assertEqual(extracted.returncode, 0, extracted.stderr)
        self.assertInstalledTree(root)
        # The packaged binary is stripped; it must still be the whole program.
        self.assertRunsAJob(root / BINARY)


if __name__ == "__main__":
    unittest.main()
