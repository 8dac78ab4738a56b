#!/bin/sh
# Builds the Debian packages of the build tree with CPack into a temporary
# directory and checks what each holds, as `make package` makes them:
#   libquill0      the libraries (real file + SONAME link), the data files;
#   libquill-dev   headers, .so links, CMake package, pkg-config files;
#   quill-tools    bin/quill;
# the SONAME of each library, the dependencies between the packages, and
# that the tool runs from the unpacked packages.
# Usage: package_test.sh BUILD_DIR PREFIX LIBDIR VERSION
set -eu
build=$(cd "$1" && pwd)
prefix=$2
libdir=$3
version=$4
major=${version%%.*}
work=$(mktemp -d "${TMPDIR:-/tmp}/quill-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }
command -v dpkg-deb >/dev/null || { echo "package_test: no dpkg-deb, skipped"; exit 0; }

# gzip: the test checks contents, not the size of the archives.
(cd "$work" && cpack -G DEB -D CPACK_DEBIAN_COMPRESSION_TYPE=gzip --config "$build/CPackConfig.cmake" -B "$work/out" \
  >"$work/cpack.log" 2>&1) \
  || { cat "$work/cpack.log"; fail "cpack failed"; }

deb() { # the one package file of a name
  set -- "$work"/out/"$1"_"$version"_*.deb
  [ -f "$1" ] || fail "no package file $1"
  echo "$1"
}
runtime=$(deb "libquill$major")
dev=$(deb libquill-dev)
tool=$(deb quill-tools)
[ "$(ls "$work"/out/*.deb | wc -l)" -eq 3 ] || fail "expected exactly three packages: $(ls "$work"/out/*.deb)"

# Listing lines "perm owner size date time ./path[ -> target]", reduced to
# "path" or "path -> target" without the leading ".".
contents() { dpkg-deb -c "$1" | sed 's/^[^.]*\.//' | grep -v '/$'; }
has() { # package, line expected in its listing
  contents "$1" | grep -qxF "$2" || { contents "$1"; fail "$(basename "$1") lacks $2"; }
}
lacks() { # package, pattern that must match nothing
  if contents "$1" | grep -q "$2"; then fail "$(basename "$1") holds $2"; fi
}

lib=$prefix/$libdir
for l in quillstd quillimg quillvec; do
  has "$runtime" "$lib/lib$l.so.$version"
  has "$runtime" "$lib/lib$l.so.$major -> lib$l.so.$version"
  has "$dev" "$lib/lib$l.so -> lib$l.so.$major"
  has "$dev" "$prefix/include/$l.h"
  has "$dev" "$lib/pkgconfig/$l.pc"
done
has "$runtime" "$prefix/share/quill/magadan.XY"
has "$runtime" "$prefix/share/quill/urupinsk.XY"
has "$dev" "$lib/cmake/Quill/QuillConfig.cmake"
has "$dev" "$lib/cmake/Quill/QuillConfigVersion.cmake"
has "$dev" "$lib/cmake/Quill/QuillTargets.cmake"
has "$tool" "$prefix/bin/quill"
lacks "$runtime" '\.h$'
lacks "$runtime" '\.so -> '
lacks "$runtime" 'bin/quill'
lacks "$dev" '^[^ ]*\.so\.[0-9.]*\( ->\|$\)'
lacks "$tool" '/lib/'
[ "$(contents "$tool" | wc -l)" -le 2 ] || { contents "$tool"; fail "the tool package holds more than the tool"; }

# Dependencies: the dev files and the tool need this very runtime.
field() { dpkg-deb -f "$1" "$2"; }
field "$dev" Depends | grep -qF "libquill$major (= $version)" || fail "libquill-dev does not depend on its runtime"
field "$tool" Depends | grep -qF "libquill$major (= $version)" || fail "quill-tools does not depend on the runtime"
field "$runtime" Depends | grep -q 'libc6' || fail "the runtime's shared-library dependencies are missing"

# Unpacked together, the libraries carry their SONAME and the tool runs.
root=$work/root
for p in "$runtime" "$dev" "$tool"; do dpkg-deb -x "$p" "$root"; done
for l in quillstd quillimg quillvec; do
  readelf -d "$root$lib/lib$l.so.$version" | grep -q "SONAME.*\[lib$l.so.$major\]" \
    || fail "lib$l.so.$version has no SONAME lib$l.so.$major"
done
env -u QUILL_DATA_DIR "$root$prefix/bin/quill" --help >"$work/help.log" 2>&1 || { cat "$work/help.log"; fail "the unpacked quill does not run"; }
echo "package_test: $(basename "$runtime"), $(basename "$dev"), $(basename "$tool") hold what they should"
