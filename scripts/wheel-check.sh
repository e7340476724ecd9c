#!/usr/bin/env bash
# Builds the wheel with `pip wheel`, checks what it holds and the oldest glibc it loads on
# (auditwheel show), installs it into a fresh virtual environment and runs the test suite
# against it from a folder outside the source tree.  The source distribution must carry
# the licence too.
#
#   bash scripts/wheel-check.sh [VERSION|newest [PYTEST ARGUMENTS...]]   (default 3.10)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=$(bash "$root/scripts/find-python.sh" "${1:-3.10}")
shift $(($# > 0 ? 1 : 0))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/venv"
pip=("$work/venv/bin/python" -m pip --disable-pip-version-check)
"${pip[@]}" install --quiet --upgrade pip
"${pip[@]}" wheel --quiet --no-deps -w "$work/dist" "$root"
wheels=("$work"/dist/*.whl)
[ -f "${wheels[0]}" ] && [ ${#wheels[@]} -eq 1 ] || { echo "wheel-check: expected one wheel in dist" >&2; exit 1; }
wheel=${wheels[0]}
echo "wheel-check: built $(basename "$wheel")"

# What the wheel must hold: the package, the three modules, their stubs and the marker.
"$work/venv/bin/python" - "$wheel" <<'PY'
import re, sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
wanted = ["Aerolume/__init__.py", "Aerolume/__main__.py", "Aerolume/lumafit.pyi",
          "Aerolume/lumaclean.pyi", "Aerolume/_core.pyi", "Aerolume/py.typed"]
missing = [n for n in wanted if n not in names]
if not any(re.fullmatch(r"aerolume-[^/]*\.dist-info/(licenses/)?LICENSE", n) for n in names):
    missing.append("*.dist-info/licenses/LICENSE")
for module in ("lumafit", "lumaclean", "_core"):
    if not any(re.fullmatch(rf"Aerolume/{module}\..*\.so", n) for n in names):
        missing.append(f"Aerolume/{module}.*.so")
stray = sorted(n for n in names if n.endswith((".cpp", ".h")))
if missing or stray:
    sys.exit(f"wheel-check: missing {missing}, should not ship {stray}")
PY

# The oldest distributions it loads on: the manylinux tag its glibc symbols allow, which
# the README states.
floor=manylinux_2_34
"${pip[@]}" install --quiet auditwheel 'scikit-build-core>=0.9'
shown=$("$work/venv/bin/auditwheel" show "$wheel")
echo "$shown"
tag=$(grep -o 'manylinux_2_[0-9]*' <<<"$shown" | head -n 1)
if [ -z "$tag" ] || [ "${tag#manylinux_2_}" -gt "${floor#manylinux_2_}" ]; then
  echo "wheel-check: the wheel needs ${tag:-an unknown platform}, newer than $floor" >&2
  exit 1
fi
echo "wheel-check: loads on $tag and newer"

"$work/venv/bin/python" - "$root" "$work/sdist" <<'PY'
import sys, tarfile
from scikit_build_core.build import build_sdist
import os
os.chdir(sys.argv[1])
name = build_sdist(sys.argv[2])
members = tarfile.open(os.path.join(sys.argv[2], name)).getnames()
if f"{name[:-len('.tar.gz')]}/LICENSE" not in members:
    sys.exit(f"wheel-check: the source distribution {name} has no LICENSE")
print(f"wheel-check: {name} carries the licence")
PY

"${pip[@]}" install --quiet "$wheel[test]"
# The tests and the configuration come from the source tree; the package comes from
# the wheel (tests/conftest.py keeps the source folder off sys.path and checks it).
cd "$work"
"$work/venv/bin/python" -c 'import sys; print("CPython", sys.version.split()[0])'
"$work/venv/bin/python" -m pytest -q -c "$root/pyproject.toml" --rootdir "$root" "$@" "$root/tests"
