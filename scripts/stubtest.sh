#!/usr/bin/env bash
# Checks the type stubs Aerolume/*.pyi against the built modules with mypy's stubtest.
#
#   bash scripts/stubtest.sh [VENV]      (default: .venv of the project)
#
# VENV must hold an installed Aerolume; mypy is installed into it.  Everything runs in a
# scratch folder, so mypy and the interpreter see the installed package and its stubs,
# not the source folder.
#
# The functions are frame_function objects, not Python functions.  stubtest treats them
# as functions (they are method descriptors) and compares the stubs with what
# inspect.signature reads from their __code__ and __defaults__.  Were that introspection
# ever lost, stubtest would skip the comparison silently, so a second run against a
# deliberately wrong copy of the stubs must fail.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv=$(cd "${1:-$root/.venv}" && pwd)
python="$venv/bin/python"

"$python" -m pip install --quiet --disable-pip-version-check mypy

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf '[mypy]\ncache_dir = %s/cache\n' "$work" >mypy.ini

installed=$("$python" -c 'import os, Aerolume; print(os.path.dirname(Aerolume.__file__))')
if [ "$installed" -ef "$root/src/Aerolume" ]; then
  echo "stubtest: Aerolume is imported from the source folder ($installed)" >&2
  exit 1
fi
for stub in lumafit.pyi lumaclean.pyi py.typed; do
  [ -f "$installed/$stub" ] || { echo "stubtest: $stub is not installed in $installed" >&2; exit 1; }
done

"$python" -m mypy.stubtest --mypy-config-file mypy.ini Aerolume.lumafit Aerolume.lumaclean

# Control: stubs with two parameters swapped and another default must be refused.
mkdir -p wrong/Aerolume
cp "$installed"/lumafit.pyi "$installed"/lumaclean.pyi wrong/Aerolume/
: >wrong/Aerolume/__init__.pyi
sed -i -e 's/calculate_data_points(distance_resolution: float, max_distance: float)/calculate_data_points(max_distance: float, distance_resolution: float)/' \
       -e 's/sigma_factor: float = 3,/sigma_factor: float = 4,/' wrong/Aerolume/lumaclean.pyi
if MYPYPATH="$work/wrong" "$python" -m mypy.stubtest --mypy-config-file mypy.ini \
     Aerolume.lumafit Aerolume.lumaclean >control.log 2>&1; then
  echo "stubtest: accepted wrong stubs, so it does not compare the signatures" >&2
  exit 1
fi
for expected in 'calculate_data_points is inconsistent, stub parameter "max_distance"' \
                'has a default value of 3, which is different from stub parameter default 4'; do
  grep -qF "$expected" control.log || {
    echo "stubtest: the control run did not report: $expected" >&2
    cat control.log >&2
    exit 1
  }
done
echo "stubtest: stubs match the modules; the control with wrong stubs was refused"
