#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds a small
# application against it twice: with find_package(zel_upnp CONFIG) and with
# pkg-config. Checks the SONAME and that only the library's namespaces and
# the platform C calls are exported.
set -euo pipefail
build=$1
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(ls "$prefix"/lib*/libzel_upnp.so.1.0.0 2>/dev/null || ls "$prefix"/lib/*/libzel_upnp.so.1.0.0)
libdir=$(dirname "$lib")

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libzel_upnp.so.1" ] || { echo "unexpected SONAME '$soname'"; exit 1; }

# Defined dynamic symbols, demangled; everything must belong to zel_upnp::
# or be a platform C function.
stray=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3- | sed 's/@@*ZEL_UPNP_1$//' |
        grep -v -E '^(zel_upnp::|typeinfo (name )?for zel_upnp::|vtable for zel_upnp::|__dlog_print$|zel_platform_|ZEL_UPNP_1$)' || true)
if [ -n "$stray" ]; then
  echo "symbols exported outside the public namespaces:"
  echo "$stray" | head -20
  exit 1
fi

# find_package consumer.
cmake -S "$here/app" -B "$work/app-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_COMPILER="${CXX:-c++}" >/dev/null
cmake --build "$work/app-cmake" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/app-cmake/consumer" | grep -q '^consumer ok'

# pkg-config consumer.
export PKG_CONFIG_PATH=$libdir/pkgconfig
"${CXX:-c++}" -std=c++17 "$here/app/main.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs zel_upnp)
LD_LIBRARY_PATH=$libdir "$work/consumer-pc" | grep -q '^consumer ok'

# The installed library resolves its SONAME through the link.
[ -L "$libdir/libzel_upnp.so.1" ]
echo "install_and_consume: ok"
