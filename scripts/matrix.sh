#!/usr/bin/env bash
# Builds Aerolume for another CPython and runs the whole test suite on it.
#
#   bash scripts/matrix.sh VERSION        (3.11, 3.12, 3.13, ...)
#   bash scripts/matrix.sh newest         (the newest of those the machine has)
#
# The interpreter is found as scripts/find-python.sh finds it; the package is built and
# installed with its test extra into its own virtual environment, .venv-VERSION (or
# $AEROLUME_VENV), which is made anew.
set -euo pipefail
cd "$(dirname "$0")/.."
version="${1:?usage: scripts/matrix.sh VERSION|newest}"
python=$(bash scripts/find-python.sh "$version")
[ "$version" != newest ] || version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv="${AEROLUME_VENV:-.venv-$version}"
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
"$venv/bin/python" -m pip install --quiet '.[test]'
"$venv/bin/python" -c 'import sys; print("CPython", sys.version.split()[0])'
"$venv/bin/pytest" -q
