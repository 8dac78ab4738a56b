#!/bin/sh
# Installs the build into a temporary prefix and builds and runs a small C
# host against the installed tree twice: through find_package(Quill CONFIG)
# and through pkg-config. Nothing may point into the build tree: the host's
# project sees only the prefix, its binaries must not name the build
# directory, and the installed quill tool must find the installed data
# directory by itself (and fail once that directory is gone).
# Usage: consumer_test.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -eu
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
cc=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/quill-consumer-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "consumer_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
mkdir "$work/swap"

# No installed file may name the build directory: text files as they are,
# binaries without their debugging sections (which record where they were
# compiled, as every debug build does).
for f in $(find "$prefix" -type f); do
  if file "$f" | grep -q ELF; then
    strip --strip-debug -o "$work/stripped" "$f"
    probe=$work/stripped
  else
    probe=$f
  fi
  if grep -qF "$build" "$probe"; then
    fail "$f names the build tree"
  fi
done

check_host() { # $1 = host binary, $2 = route
  if readelf -d "$1" | grep -F "$build" >/dev/null; then
    readelf -d "$1" | grep -i path; fail "$2: the host's run path names the build tree"
  fi
  env -u QUILL_DATA_DIR "$1" - "$work/swap" "$work/$2.yx" || fail "$2: the host failed"
  [ -s "$work/$2.yx" ] || fail "$2: no tile file written"
}

# 1. find_package
cmake -S "$source/tests/consumer" -B "$work/cmake-build" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/configure.log" 2>&1 \
  || { cat "$work/configure.log"; fail "find_package: configure failed"; }
cmake --build "$work/cmake-build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "find_package: build failed"; }
if grep -rF "$build" "$work/cmake-build/CMakeCache.txt" "$work/cmake-build/CMakeFiles/consumer.dir" >/dev/null 2>&1; then
  fail "find_package: the host's build names the build tree"
fi
check_host "$work/cmake-build/consumer" cmake

# 2. pkg-config, seeing only the prefix's .pc files
pcdir=$(dirname "$(find "$prefix" -name quillimg.pc | head -1)")
export PKG_CONFIG_LIBDIR="$pcdir" PKG_CONFIG_PATH=""
for pc in quillstd quillimg quillvec; do
  pkg-config --exists "$pc" || fail "pkg-config: $pc not found"
done
[ "$(pkg-config --modversion quillimg)" = "$(pkg-config --modversion quillstd)" ] || fail "pkg-config: versions differ"
libs=$(pkg-config --libs quillimg quillvec)
case "$libs" in *-lquillstd*) ;; *) fail "pkg-config: quillimg does not bring quillstd ($libs)";; esac
datadir=$(pkg-config --variable=datadir quillimg)
libdir=$(pkg-config --variable=libdir quillimg)
"$cc" -std=c99 -Wall -Wextra -o "$work/pc-consumer" "$source/tests/consumer/consumer.c" \
  $(pkg-config --cflags quillimg quillvec) -DQUILL_INSTALLED_DATA_DIR="\"$datadir\"" $libs -Wl,-rpath,"$libdir" \
  || fail "pkg-config: build failed"
check_host "$work/pc-consumer" pkgconfig

# 3. The installed tool finds the installed tables by itself: it loads the
# lossy tile file, and cannot once the data directory is moved away.
env -u QUILL_DATA_DIR TMPDIR="$work" "$prefix/bin/quill" info "$work/cmake.yx" >"$work/info.log" 2>&1 \
  || { cat "$work/info.log"; fail "the installed quill did not load a lossy tile file"; }
mv "$prefix/share/quill" "$prefix/share/quill-moved"
if env -u QUILL_DATA_DIR TMPDIR="$work" "$prefix/bin/quill" info "$work/cmake.yx" >"$work/info2.log" 2>&1; then
  fail "the installed quill loaded a lossy tile file without the installed tables: it found them elsewhere"
fi
QUILL_DATA_DIR="$prefix/share/quill-moved" TMPDIR="$work" "$prefix/bin/quill" info "$work/cmake.yx" >/dev/null 2>&1 \
  || fail "QUILL_DATA_DIR does not override the default"
echo "consumer_test: find_package and pkg-config hosts ran; the installed tool found its data"
