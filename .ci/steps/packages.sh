#!/usr/bin/env bash
# The Debian package: built with CPack from a Release build installed under /usr, checked by
# lintian (no errors), unpacked with dpkg-deb -x into an empty root, and the phone test run from
# there on the simulated test set it carries. The Windows ZIPs are made and tested in windows.sh,
# where Wine is.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
root=$PWD
source .ci/release_build.sh
build=$root/$release_build_dir

# lintian, and dpkg-dev for dpkg-shlibdeps (the package's dependencies) and dpkg-architecture.
missing=()
command -v lintian >/dev/null 2>&1 || missing+=(lintian)
command -v dpkg-shlibdeps >/dev/null 2>&1 || missing+=(dpkg-dev)
if ((${#missing[@]})); then
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  timeout 300 apt-get update -qq
  timeout 600 apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

configure_release_build
cmake --build "$build" -j2 >/dev/null
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/zolvane_*.deb)
if [ "${#debs[@]}" != 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "cpack made no single zolvane .deb: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
dpkg-deb -I "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\):/  \1:/p'

# Errors fail the step, and so does a lintian that could not check; warnings are shown.
set +e
lintian_out=$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1)
lintian_rc=$?
set -e
grep -v 'root privileges' <<<"$lintian_out" || true
if [ "$lintian_rc" != 0 ]; then
  echo "lintian: errors in $(basename "$deb"), or it could not check it (exit $lintian_rc)" >&2
  exit 1
fi

# What the package must hold.
contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for path in /usr/include/Zolvane.h "/usr/lib/$multiarch/libZolvane.so.1" \
            "/usr/lib/$multiarch/cmake/Zolvane/ZolvaneConfig.cmake" \
            "/usr/lib/$multiarch/pkgconfig/zolvane.pc" /usr/bin/zolvane_phone_test \
            "/usr/lib/$multiarch/zolvane/simulator/libivivisa.so.7" \
            /usr/share/doc/zolvane/copyright /usr/share/doc/zolvane/changelog.gz; do
  if ! grep -qxF "$path" <<<"$contents"; then
    echo "$(basename "$deb") lacks $path" >&2
    exit 1
  fi
done
if [ -f trace/CMakeLists.txt ] && ! grep -q "^/usr/lib/$multiarch/zolvane/trace/" <<<"$contents"; then
  echo "$(basename "$deb") lacks the trace VISA (lib/$multiarch/zolvane/trace)" >&2
  exit 1
fi

# Unpacked into an empty root, the phone test runs from it on the simulator it carries.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
set +e
out=$(cd / && LD_LIBRARY_PATH="$unpacked/usr/lib/$multiarch" timeout 120 \
      "$unpacked/usr/bin/zolvane_phone_test" 2>&1)
rc=$?
set -e
echo "$out" | tail -3
if [ "$rc" != 0 ] || ! grep -q 'Summary: 23 steps, 23 passed, 0 failed' <<<"$out" \
   || ! grep -qF "$unpacked/usr/lib/$multiarch/zolvane/simulator" <<<"$out"; then
  echo "$out"
  echo "the phone test from the unpacked package failed (exit $rc)" >&2
  exit 1
fi
echo "packages step: $((SECONDS - start)) s"
