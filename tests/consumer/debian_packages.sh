#!/usr/bin/env bash
# The Debian packages as a new user gets them: built with cpack from BUILD,
# their Depends checked and nothing in them that dpkg -r would leave behind,
# unpacked into a scratch root with dpkg-deb -x; the SONAME, the exported
# symbols, every public header on its own and the pkg-config layout checked;
# a small consumer built with pkg-config and the quick start with CMake
# against that root, and run from it (tests/examples/quickstart.sh; skipped
# there without root). Last, the library as a subproject (add_subdirectory)
# of a parent project.
# Usage: debian_packages.sh BUILD WORK [compiler launcher]
set -euo pipefail
build=$1
work=$2
launcher=${3:-}
cxx=${CXX:-c++}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
fail() { echo "debian_packages: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work/root"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/debs" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
for p in libzel-upnp2 libzel-upnp-dev zel-upnp-tools; do
  deb=$(ls "$work/debs/${p}_"*.deb 2>/dev/null) || fail "no $p package"
  dpkg-deb -x "$deb" "$work/root"
  # dpkg -r leaves a package with a postrm or a conffile in the rc state.
  ! dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -xE '\./(postrm|conffiles)' || fail "$p would stay in rc"
  eval "depends_${p//-/_}=\$(dpkg-deb -f \"\$deb\" Depends)"
done
grep -q 'libboost-thread1\.74\.0' <<<"$depends_libzel_upnp2" || fail "libzel-upnp2 Depends: $depends_libzel_upnp2"
dpkg-deb -I "$work/debs"/libzel-upnp2_*.deb triggers | grep -qx 'activate-noawait ldconfig' || fail "no ldconfig trigger"
grep -q 'libzel-upnp2 (= ' <<<"$depends_libzel_upnp_dev" || fail "dev Depends: $depends_libzel_upnp_dev"
grep -q 'libzel-upnp2 (= ' <<<"$depends_zel_upnp_tools" || fail "tools Depends: $depends_zel_upnp_tools"
root=$work/root
lib=$(find "$root" -name libzel_upnp.so.2 -print -quit)
[ -n "$lib" ] || fail "no libzel_upnp.so.2 in the runtime package"
libdir=$(dirname "$lib")
[ -L "$libdir/libzel_upnp.so" ] || fail "no unversioned link in the dev package"
for t in zel-sample-device zel-stream-server zel-stream-get; do
  [ -x "$root/usr/bin/$t" ] || fail "$t not in the tools package"
done
light=$root/usr/share/zel-upnp/light
[ -f "$light/DeviceDescription.xml" ] || fail "no light folder in the tools package"

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libzel_upnp.so.2" ] || fail "unexpected SONAME '$soname'"
# Defined dynamic symbols, demangled: zel_upnp:: or a platform C function.
stray=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3- | sed 's/@@*ZEL_UPNP_1$//' |
        grep -v -E '^(zel_upnp::|typeinfo (name )?for zel_upnp::|vtable for zel_upnp::|__dlog_print$|zel_platform_|ZEL_UPNP_1$)' || true)
[ -z "$stray" ] || fail "symbols exported outside the public namespaces: $(echo "$stray" | head -20)"
# pkg-config's prefix, libdir and includedir as installed under pcdir.
check_pc() {
  for v in prefix:/usr libdir:$2 includedir:/usr/include; do
    got=$(PKG_CONFIG_PATH=$1 pkg-config --variable="${v%%:*}" zel_upnp)
    [ "$got" = "${v#*:}" ] || fail "pkg-config ${v%%:*} is '$got', wanted '${v#*:}'"
  done
}
check_pc "$libdir/pkgconfig" "${libdir#"$root"}"
export PKG_CONFIG_PATH=$libdir/pkgconfig
flags=$(PKG_CONFIG_SYSROOT_DIR=$root pkg-config --cflags --libs zel_upnp)
# Every installed header compiles on its own, and all of them together.
all=$work/all_headers.cpp
: >"$all"
for h in $(cd "$root/usr/include" && find zel_upnp -name '*.h' | sort); do
  echo "#include <$h>" | tee -a "$all" | "$cxx" -std=c++17 $flags -x c++ -fsyntax-only - ||
    fail "$h does not compile on its own"
done
[ -s "$all" ] || fail "no public headers in the dev package"
"$cxx" -std=c++17 "$here/app/main.cpp" "$all" -o "$work/consumer-pc" $flags
LD_LIBRARY_PATH=$libdir "$work/consumer-pc" | grep -q '^consumer ok' || fail "pkg-config consumer"

cmake -S "$src/examples/quickstart" -B "$work/quickstart" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
      -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/quickstart" >/dev/null
LD_LIBRARY_PATH=$libdir bash "$src/tests/examples/quickstart.sh" "$work/quickstart/zel-quickstart" "$light"

# A parent configured for /usr installs into Debian's multiarch libdir.
parent=$work/parent
cmake -S "$here/parent" -B "$parent" -G Ninja -DZEL_SOURCE_DIR="$src" -DCMAKE_INSTALL_PREFIX=/usr \
      -DCMAKE_CXX_COMPILER="$cxx" ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} >/dev/null
grep -q 'zel_test_support' "$parent/build.ninja" && fail "tests built in a subproject"
cmake --build "$parent" >/dev/null
LD_LIBRARY_PATH=$parent/zel_upnp "$parent/consumer" | grep -q '^consumer ok' || fail "subproject consumer"
DESTDIR=$work/stage cmake --install "$parent" >/dev/null
multiarch=$("$cxx" -print-multiarch 2>/dev/null || true)
check_pc "$work/stage/usr/lib${multiarch:+/$multiarch}/pkgconfig" "/usr/lib${multiarch:+/$multiarch}"
