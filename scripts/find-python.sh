#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the version asked for (default 3.10):
# `pythonX.Y` on PATH if it runs, else the newest matching pyenv installation.
set -euo pipefail
want="${1:-3.10}"
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
