"""What the benchmark's scripts share: their log lines, their way of giving up, and
running a tool that must succeed."""
from __future__ import annotations

import subprocess
import sys
import time
from pathlib import Path


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {message}", flush=True)


def fail(message: str) -> None:
    print(f"{Path(sys.argv[0]).stem}: {message}", file=sys.stderr)
    sys.exit(1)


def run(args: list[str], cwd: Path | None = None) -> subprocess.CompletedProcess:
    """Runs a tool that must succeed; on failure, ends the script with the tool's last lines."""
    done = subprocess.run(args, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if done.returncode != 0:
        tail = "\n".join(done.stderr.strip().splitlines()[-15:])
        fail(f"{' '.join(args[:3])} ... exited with {done.returncode}\n{tail}")
    return done
