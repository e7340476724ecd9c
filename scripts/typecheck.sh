#!/usr/bin/env bash
# Type-checks the toolkit's Python with mypy (settings in [tool.mypy] of pyproject.toml)
# as it ships: the installed package, whose compiled modules are described by their
# stubs (_core.pyi made by nanobind's stubgen at build, lumafit.pyi, lumaclean.pyi).
#
#   bash scripts/typecheck.sh [VENV]      (default: .venv of the project)
#
# VENV must hold an installed Aerolume; mypy is installed into it when missing.  mypy
# runs in a scratch folder, so it finds the installed package, never the source folder
# (which holds no stubs of the compiled modules).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv=$(cd "${1:-$root/.venv}" && pwd)
python="$venv/bin/python"

"$python" -c 'import mypy' 2>/dev/null ||
  "$python" -m pip install --quiet --disable-pip-version-check mypy

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

installed=$("$python" -c 'import os, Aerolume; print(os.path.dirname(Aerolume.__file__))')
if [ "$installed" -ef "$root/src/Aerolume" ]; then
  echo "typecheck: Aerolume is imported from the source folder ($installed)" >&2
  exit 1
fi
[ -f "$installed/_core.pyi" ] || { echo "typecheck: _core.pyi is not installed in $installed" >&2; exit 1; }

"$python" -m mypy --config-file "$root/pyproject.toml" --cache-dir "$work/cache" -p Aerolume
