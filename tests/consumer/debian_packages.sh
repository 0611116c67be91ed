#!/usr/bin/env bash
# The Debian packages as a new user gets them: built with cpack from BUILD,
# their Depends checked, unpacked into a scratch root with dpkg-deb -x, the
# quick start built against that root with CMake and with pkg-config, and
# run from it (tests/examples/quickstart.sh; skipped there without root).
# Usage: debian_packages.sh BUILD WORK
set -euo pipefail
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
fail() { echo "debian_packages: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work/root"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/debs" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
for p in libzel-upnp1 libzel-upnp-dev zel-upnp-tools; do
  deb=$(ls "$work/debs/${p}_"*.deb 2>/dev/null) || fail "no $p package"
  dpkg-deb -x "$deb" "$work/root"
  eval "depends_${p//-/_}=\$(dpkg-deb -f \"\$deb\" Depends)"
done
grep -q 'libboost-thread1\.74\.0' <<<"$depends_libzel_upnp1" || fail "libzel-upnp1 Depends: $depends_libzel_upnp1"
grep -q 'libzel-upnp1 (= ' <<<"$depends_libzel_upnp_dev" || fail "dev Depends: $depends_libzel_upnp_dev"
grep -q 'libzel-upnp1 (= ' <<<"$depends_zel_upnp_tools" || fail "tools Depends: $depends_zel_upnp_tools"
root=$work/root
lib=$(find "$root" -name libzel_upnp.so.1 -print -quit)
[ -n "$lib" ] || fail "no libzel_upnp.so.1 in the runtime package"
libdir=$(dirname "$lib")
[ -L "$libdir/libzel_upnp.so" ] || fail "no unversioned link in the dev package"
for t in zel-sample-device zel-stream-server zel-stream-get; do
  [ -x "$root/usr/bin/$t" ] || fail "$t not in the tools package"
done
light=$root/usr/share/zel-upnp/light
[ -f "$light/DeviceDescription.xml" ] || fail "no light folder in the tools package"

cmake -S "$src/examples/quickstart" -B "$work/quickstart" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
      -DCMAKE_CXX_COMPILER="${CXX:-c++}" >/dev/null
cmake --build "$work/quickstart" >/dev/null
flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$root pkg-config --cflags --libs zel_upnp)
"${CXX:-c++}" -std=c++17 "$src/examples/quickstart/main.cpp" -o "$work/quickstart-pc" $flags
LD_LIBRARY_PATH=$libdir bash "$src/tests/examples/quickstart.sh" "$work/quickstart/zel-quickstart" "$light"
