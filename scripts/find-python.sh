#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the version asked for (default 3.10):
# `pythonX.Y` on PATH if it runs, else the newest matching pyenv installation.  `newest`
# asks for the newest of the versions the package supports that can be found.
set -euo pipefail
want="${1:-3.10}"
if [ "$want" = newest ]; then
  for candidate in 3.13 3.12 3.11 3.10; do
    if bash "$0" "$candidate" 2>/dev/null; then exit 0; fi
  done
  echo "no supported CPython found" >&2
  exit 1
fi
if command -v "python$want" >/dev/null 2>&1 &&
   "python$want" -c 'import sys; print(sys.executable)' >/dev/null 2>&1; then
  "python$want" -c 'import sys; print(sys.executable)'
  exit 0
fi
if command -v pyenv >/dev/null 2>&1; then
  version=$(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}(\.[0-9]+)?$" | sort -V | tail -n 1 || true)
  if [ -n "$version" ]; then
    PYENV_VERSION="$version" pyenv exec python -c 'import sys; print(sys.executable)'
    exit 0
  fi
fi
echo "no CPython $want found (looked for python$want on PATH and in pyenv)" >&2
exit 1
