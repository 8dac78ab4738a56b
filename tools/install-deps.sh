#!/bin/sh
# Makes sure the Debian packages that a make target needs are installed.
# Usage: install-deps.sh test|bench|demo|package
# As root it installs what is missing; otherwise it prints the apt-get line.
set -eu
case "${1:-test}" in
  demo)  need="cmake make gcc g++ binutils libpng-dev" ;;
  package) need="cmake make gcc g++ binutils dpkg-dev file libpng-dev" ;;
  test)  need="cmake make gcc g++ binutils libpng-dev libgtest-dev libtiff-dev ghostscript libtiff-tools netpbm imagemagick clang libclang-rt-dev libopencv-dev librsvg2-bin python3-ezdxf python3-skimage pkg-config dpkg-dev file" ;;
  bench) need="cmake make gcc g++ binutils libpng-dev libbenchmark-dev ghostscript libtiff-tools netpbm libleptonica-dev libtiff-dev imagemagick libopencv-dev libpotrace-dev libcgal-dev libgmp-dev python3-skimage" ;;
  *) echo "usage: $0 test|bench|demo|package" >&2; exit 2 ;;
esac
missing=""
for p in $need; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
else
  echo "missing packages; run:"
  echo "  sudo apt-get install -y$missing"
  exit 1
fi
