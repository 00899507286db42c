#!/usr/bin/env bash
# Sets up, builds, then makes the Debian package in build/ and prints its path.
# Install it with: sudo apt install ./build/quorle-video-compress_<version>_<arch>.deb
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

"$root/scripts/setup.sh"
"$root/scripts/build.sh"
log=$(cpack --config "$root/build/CPackConfig.cmake" -B "$root/build" 2>&1) || {
  echo "$log" >&2
  exit 1
}
sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' <<<"$log"
