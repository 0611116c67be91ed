#!/usr/bin/env bash
# The library as an application gets it:
#  1. installed from BUILD into a scratch prefix, then used by a small
#     application through find_package(zel_upnp CONFIG) and through
#     pkg-config, with every installed public header compiled on its own and
#     all together; SONAME and exported symbols checked;
#  2. built as a subproject (add_subdirectory) of a parent project configured
#     for /usr, installed into a DESTDIR staging root, and its pkg-config file
#     checked for Debian's multiarch layout.
# Usage: run.sh BUILD WORK [compiler launcher]
set -euo pipefail
build=$1
work=$2
launcher=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
cxx=${CXX:-c++}
rm -rf "$work"
mkdir -p "$work"
fail() { echo "install_and_consume: $*" >&2; exit 1; }

# --- 1. installed package -------------------------------------------------
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(find "$prefix" -name libzel_upnp.so.1.0.0 -print -quit)
[ -n "$lib" ] || fail "libzel_upnp.so.1.0.0 not installed"
libdir=$(dirname "$lib")
[ -L "$libdir/libzel_upnp.so.1" ] || fail "no libzel_upnp.so.1 link"

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libzel_upnp.so.1" ] || fail "unexpected SONAME '$soname'"

# Defined dynamic symbols, demangled; everything must belong to zel_upnp::
# or be a platform C function.
stray=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3- | sed 's/@@*ZEL_UPNP_1$//' |
        grep -v -E '^(zel_upnp::|typeinfo (name )?for zel_upnp::|vtable for zel_upnp::|__dlog_print$|zel_platform_|ZEL_UPNP_1$)' || true)
[ -z "$stray" ] || fail "symbols exported outside the public namespaces: $(echo "$stray" | head -20)"

# Every installed header, whatever families exist: each must compile alone,
# and all of them together in the application.
headers=$(cd "$prefix/include" && find zel_upnp -name '*.h' | sort)
[ -n "$headers" ] || fail "no public headers installed"
all=$work/all_headers.cpp
: >"$all"
export PKG_CONFIG_PATH=$libdir/pkgconfig
cflags=$(pkg-config --cflags zel_upnp)
for h in $headers; do
  echo "#include <$h>" >>"$all"
  echo "#include <$h>" | "$cxx" -std=c++17 $cflags -x c++ -fsyntax-only - ||
    fail "$h does not compile on its own"
done

cmake -S "$here/app" -B "$work/app-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_COMPILER="$cxx" -DZEL_ALL_HEADERS="$all" >/dev/null
cmake --build "$work/app-cmake" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/app-cmake/consumer" | grep -q '^consumer ok' || fail "find_package consumer"

"$cxx" -std=c++17 "$here/app/main.cpp" "$all" -o "$work/consumer-pc" $(pkg-config --cflags --libs zel_upnp)
LD_LIBRARY_PATH=$libdir "$work/consumer-pc" | grep -q '^consumer ok' || fail "pkg-config consumer"

# --- 2. subproject, /usr multiarch install --------------------------------
parent=$work/parent
cmake -S "$here/parent" -B "$parent" -G Ninja -DZEL_SOURCE_DIR="$src" \
      -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_COMPILER="$cxx" \
      ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} >/dev/null
grep -q 'zel_test_support' "$parent/build.ninja" && fail "tests built in a subproject"
cmake --build "$parent" >/dev/null
LD_LIBRARY_PATH=$parent/zel_upnp "$parent/consumer" | grep -q '^consumer ok' || fail "subproject consumer"

stage=$work/stage
DESTDIR=$stage cmake --install "$parent" >/dev/null
multiarch=$("$cxx" -print-multiarch 2>/dev/null || true)
want_libdir=/usr/lib${multiarch:+/$multiarch}
pcdir=$stage$want_libdir/pkgconfig
[ -f "$pcdir/zel_upnp.pc" ] || fail "no zel_upnp.pc in $pcdir"
for v in prefix:/usr libdir:$want_libdir includedir:/usr/include; do
  got=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable="${v%%:*}" zel_upnp)
  [ "$got" = "${v#*:}" ] || fail "pkg-config ${v%%:*} is '$got', wanted '${v#*:}'"
done
# The staged tree as a sysroot: what a cross or package build would see.
flags=$(PKG_CONFIG_PATH=$pcdir PKG_CONFIG_SYSROOT_DIR=$stage pkg-config --cflags --libs zel_upnp)
"$cxx" -std=c++17 "$here/app/main.cpp" -o "$work/consumer-staged" $flags
LD_LIBRARY_PATH=$stage$want_libdir "$work/consumer-staged" | grep -q '^consumer ok' ||
  fail "consumer of the staged /usr install"
echo "install_and_consume: ok"
