#!/usr/bin/env bash
# Installs folian into a temporary prefix and builds and runs three small consumers against
# it: plain cc with pkg-config, CMake find_package, and add_subdirectory of the source tree.
# Also checks the installed layout, the man page and that the version agrees everywhere.
# Usage: scripts/check-package.sh [BUILD_DIR]   (default build/package)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
dir=${1:-build/package}
rm -rf "$dir"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
prefix=$dir/prefix
image=$src/examples/photo.jpg
jobs=$(nproc 2>/dev/null || echo 2)

echo "== package: build and install into $prefix"
cmake -S . -B "$dir/build" -DCMAKE_BUILD_TYPE=Release -DFOLIAN_WERROR=ON \
      -DFOLIAN_BUILD_STATIC=ON -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$dir/build" -j "$jobs" >/dev/null
cmake --install "$dir/build" >/dev/null
libdir=$(grep -E '^CMAKE_INSTALL_LIBDIR:' "$dir/build/CMakeCache.txt" | cut -d= -f2)
for f in include/folian.h bin/folian share/man/man1/folian.1 "$libdir/libfolian.a" \
         "$libdir/libfolian.so" "$libdir/libfolian.so.1" "$libdir/pkgconfig/folian.pc" \
         "$libdir/cmake/folian/folianConfig.cmake" "$libdir/cmake/folian/folianConfigVersion.cmake"; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
soname=$(objdump -p "$prefix/$libdir/libfolian.so" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libfolian.so.1 ] || { echo "SONAME is '$soname'"; exit 1; }
MANWIDTH=80 man -l "$prefix/share/man/man1/folian.1" | grep -q 'convert PNG and JPEG files'

# The install is moved before use: nothing may depend on the prefix it was built for.
mv "$prefix" "$prefix.moved"
prefix=$prefix.moved
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
export LD_LIBRARY_PATH=$prefix/$libdir

version=$(pkg-config --modversion folian)
tool_version=$("$prefix/bin/folian" --version)
[ "$tool_version" = "folian $version" ] || { echo "pkg-config $version, tool '$tool_version'"; exit 1; }
"$prefix/bin/folian" -o "$dir/tool.pdf" "$image"
env -u LD_LIBRARY_PATH "$prefix/bin/folian" --version >/dev/null  # found through its RPATH

echo "== package: cc with pkg-config"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$dir/pc_consumer" tests/consumers/consumer.c $(pkg-config --cflags --libs folian)
"$dir/pc_consumer" "$image" "$dir/pc.pdf"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$dir/pc_static_consumer" tests/consumers/consumer.c \
   $(pkg-config --cflags folian) "$prefix/$libdir/libfolian.a" $(pkg-config --static --libs-only-l folian | sed 's/-lfolian//')
env -u LD_LIBRARY_PATH "$dir/pc_static_consumer" "$image" "$dir/pc_static.pdf"

echo "== package: CMake find_package"
cmake -S tests/consumers/find_package -B "$dir/find_package" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$dir/find_package" >/dev/null
"$dir/find_package/consumer" "$image" "$dir/find_package.pdf"
env -u LD_LIBRARY_PATH "$dir/find_package/consumer_static" "$image" "$dir/find_package_static.pdf"

echo "== package: add_subdirectory"
cmake -S tests/consumers/subdirectory -B "$dir/subdirectory" -DFOLIAN_SOURCE_DIR="$src" >/dev/null
cmake --build "$dir/subdirectory" -j "$jobs" >/dev/null
tests=$(cd "$dir/subdirectory" && ctest -N | awk '/Total Tests:/ {print $3}')
[ "$tests" = 0 ] || { echo "the parent project got $tests tests from folian"; exit 1; }
env -u LD_LIBRARY_PATH "$dir/subdirectory/consumer" "$image" "$dir/subdirectory.pdf"

qpdf --check "$dir/pc.pdf" >/dev/null
for pdf in pc_static find_package find_package_static subdirectory; do
  cmp "$dir/pc.pdf" "$dir/$pdf.pdf"
done
echo "package: install, pkg-config, find_package and add_subdirectory consumers ok"
