#!/usr/bin/env bash
# Installs from Debian's packages whatever the build and the tests need and is not
# there yet. Quick and silent when everything is installed.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev libswresample-dev libavutil-dev
  libgtest-dev
  libseccomp-dev  # the confinement's system-call filter
  ffmpeg  # makes the test fixtures and judges the outputs (ffprobe)
  python3 man-db groff-base  # the tests of the manual page
  dpkg-dev file  # the Debian package: dpkg-shlibdeps finds its dependencies
  devscripts lintian  # the checks of the package and its hardened binary (hardening-check, lintian)
  parallel  # runs the folder example
  clang libclang-rt-14-dev  # the fuzz target (libFuzzer) and the sanitizer runtimes
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "setup: missing packages (${missing[*]}) and neither root nor sudo to install them" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
