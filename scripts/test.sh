#!/usr/bin/env bash
# Sets up, builds, then runs every test.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

"$root/scripts/setup.sh"
"$root/scripts/build.sh"
ctest --no-tests=error --test-dir "$root/build" --output-on-failure -j2
