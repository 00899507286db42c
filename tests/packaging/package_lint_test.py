"""Debian's own judge of a package, lintian, finds no error and no warning in the .deb,
and what it does not read in a binary package is checked here: the copyright file is
in the machine-readable format, the changelog's latest entry is this version, and the
Maintainer field is the contact the build was configured with."""

import email.utils
import gzip
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

BUILD_DIR = Path(os.environ["QVC_BUILD_DIR"])
MAINTAINER = os.environ["QVC_PACKAGE_MAINTAINER"]
DOC = "usr/share/doc/quorle-video-compress"
FORMAT = "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


def paragraphs(text):
    """Control-file paragraphs as lists of (field, first line, continuation lines)."""
    result = []
    for block in text.split("\n\n"):
        fields = []
        for line in block.splitlines():
            if line.startswith((" ", "\t")):
                if not fields:
                    raise AssertionError(f"a continuation line before any field: {line!r}")
                fields[-1][2].append(line.strip())
            elif line.strip():
                name, colon, value = line.partition(":")
                if not colon or not name or " " in name:
                    raise AssertionError(f"not a field: {line!r}")
                fields.append((name, value.strip(), []))
        if fields:
            result.append(fields)
    return result


class PackageLintTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="qvc-lint-"))
        made = run("cpack", "-G", "DEB", "--config", str(BUILD_DIR / "CPackConfig.cmake"), "-B", str(cls.work))
        if made.returncode != 0:
            raise AssertionError(made.stdout + made.stderr)
        (cls.package,) = cls.work.glob("*.deb")
        cls.root = cls.work / "root"
        run("dpkg-deb", "-x", str(cls.package), str(cls.root), check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def field(self, name):
        return run("dpkg-deb", "-f", str(self.package), name).stdout.strip()

    def test_lintian_finds_no_error_or_warning(self):
        lintian = shutil.which("lintian")
        self.assertIsNotNone(lintian, "lintian is missing: scripts/setup.sh installs it")
        checked = run(lintian, "--fail-on", "error,warning", str(self.package))
        found = [line for line in checked.stdout.splitlines() if line.startswith(("E:", "W:"))]
        self.assertEqual(found, [], checked.stdout)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_maintainer_is_the_configured_contact(self):
        self.assertEqual(self.field("Maintainer"), MAINTAINER)
        name, address = email.utils.parseaddr(MAINTAINER)
        self.assertTrue(name, MAINTAINER)
        user, at, host = address.partition("@")
        self.assertTrue(user and at and "." in host, MAINTAINER)

    def test_copyright_file_is_machine_readable(self):
        found = paragraphs((self.root / DOC / "copyright").read_text())
        self.assertGreaterEqual(len(found), 2, "a header and at least one Files paragraph")
        header = {name: value for name, value, _ in found[0]}
        self.assertEqual(header.get("Format"), FORMAT)

        files = [dict((name, (value, more)) for name, value, more in p) for p in found[1:]
                 if p[0][0] == "Files"]
        standalone = {p[0][1]: p[0][2] for p in found[1:] if p[0][0] == "License"}
        self.assertTrue(files, "no Files paragraph")
        self.assertEqual(files[0]["Files"][0], "*", "the first Files paragraph covers everything")
        for paragraph in files:
            with self.subTest(files=paragraph["Files"][0]):
                self.assertTrue(paragraph.get("Copyright", ("", []))[0], "no Copyright")
                licence, text = paragraph.get("License", ("", []))
                self.assertTrue(licence, "no License")
                # The licence's text is here or in a paragraph of its own.
                self.assertTrue(text or standalone.get(licence), f"no text for the licence {licence!r}")

    def test_changelog_has_an_entry_for_this_version(self):
        changelog = self.root / DOC / "changelog.gz"
        plain = self.work / "changelog"
        plain.write_bytes(gzip.decompress(changelog.read_bytes()))
        parsed = run("dpkg-parsechangelog", "-l", str(plain))
        self.assertEqual(parsed.returncode, 0, parsed.stderr)
        self.assertEqual(parsed.stderr, "")
        entry = dict(line.split(": ", 1) for line in parsed.stdout.splitlines() if ": " in line and line[0] != " ")
        self.assertEqual(entry["Source"], self.field("Package"))
        self.assertEqual(entry["Version"], self.field("Version"))


if __name__ == "__main__":
    unittest.main()
