#!/bin/sh
# Fails when a shared library runs code of its own at load or exit time: a
# dynamic initialiser of a global (_GLOBAL__sub_I_...) or an exit-time
# destructor registered through __cxa_atexit. The library's state is
# constant-initialised (handle tables, the line transfer, the progress
# messages) so that loading it has no side effect and no global is used
# outside its lifetime.
# Usage: check_no_static_init.sh LIBRARY
found=$(nm "$1" | grep -E '_GLOBAL__sub_I|__cxa_atexit')
if [ -n "$found" ]; then
  echo "$1 runs code at load or exit:"
  echo "$found"
  exit 1
fi
exit 0
