#!/usr/bin/env bash
# Installs the Debian packages that building and testing Zolvane needs, and only those missing,
# so that on a machine that has them all this costs a few dpkg look-ups. The README's two
# commands start with it.
#
#   scripts/install-packages.sh          what the phone test (the main job) needs to build
#   scripts/install-packages.sh --tests  that, and what the test suite needs (pytest, PyVISA, mono, ...)
set -euo pipefail

packages=(g++ cmake make locales
          libtomlplusplus-dev libcli11-dev nlohmann-json3-dev
          libsqlite3-dev libcpp-httplib-dev libpq-dev)
if [ "${1:-}" = "--tests" ]; then
  packages+=(libgtest-dev libxml2-utils
             python3 python3-pytest python3-pyvisa python3-setuptools python3-wheel python3-pip
             mono-mcs mono-runtime libmono-system-core4.0-cil
             postgresql-15 sqlite3 chromium)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0

if [ "$(id -u)" != 0 ]; then
  echo "missing Debian packages: ${missing[*]} (run this script as root, or install them)" >&2
  exit 1
fi
echo "installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
