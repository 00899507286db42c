#!/usr/bin/env bash
# Installs from Debian's packages whatever the benchmark needs and is not there yet,
# then runs it with Debian's own Python, which finds Debian's matplotlib. Every
# argument goes to bench.py (see bench/README.md, or run.sh --help).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

packages=(
  ffmpeg              # makes the sources and references, runs the command line, scores
  time                # GNU time: wall, CPU and peak memory of each run
  python3             # the benchmark itself (standard library only)
  python3-matplotlib  # the chart
  fonts-dejavu-core   # the screen recording's text
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if [[ ${#missing[@]} -gt 0 ]]; then
  if [[ $(id -u) -eq 0 ]]; then
    as_root=()
  elif command -v sudo >/dev/null; then
    as_root=(sudo)
  else
    echo "bench: missing packages (${missing[*]}) and neither root nor sudo to install them;" \
      "install them with: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "bench: installing ${missing[*]}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi

exec /usr/bin/python3 "$here/bench.py" "$@"
