#!/usr/bin/env bash
# Installs the Debian packages that are missing: `build` for building the
# wheel (the demo), `test` (the default) for the tests as well: GoogleTest,
# clang for the fuzzer, chromium for the diff page.
set -euo pipefail
packages=(g++ make)
[ "${1:-test}" = build ] || packages+=(googletest libgtest-dev clang libclang-rt-14-dev chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
