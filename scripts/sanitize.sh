#!/usr/bin/env bash
# Builds Aerolume with AddressSanitizer and UndefinedBehaviorSanitizer into its own
# virtual environment and runs the test suite against that build under
# scripts/sanitizer-run.sh.  (CI builds the same way against the debug interpreter
# instead: scripts/debug-python.sh with AEROLUME_SANITIZE=ON.)
#
#   bash scripts/sanitize.sh [PYTEST ARGUMENTS]     (e.g. -m "not pipeline")
#
#   AEROLUME_SANITIZE_VENV  the environment (default .venv-sanitize)
#   AEROLUME_PYTHON_VERSION the CPython (default 3.10)
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/find-python.sh "${AEROLUME_PYTHON_VERSION:-3.10}")
venv="${AEROLUME_SANITIZE_VENV:-.venv-sanitize}"

"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
# The build runs without isolation (so that build/sanitize is reused between runs): the
# backend, and CMake and Ninja where the system has none, come into the environment.
tools=()
command -v cmake >/dev/null 2>&1 || tools+=(cmake)
command -v ninja >/dev/null 2>&1 || tools+=(ninja)
"$venv/bin/python" -m pip install --quiet 'scikit-build-core>=0.9' 'nanobind>=2.4' "${tools[@]}"
AEROLUME_SANITIZE=ON AEROLUME_WERROR=ON "$venv/bin/python" -m pip install --quiet --no-build-isolation \
  -Cbuild-dir=build/sanitize -Cinstall.strip=false . pytest pytest-xdist

bash scripts/sanitizer-run.sh "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
