#!/usr/bin/env bash
# Runs the test suite under a debug build of CPython: Debian's python3.11-dbg (Py_DEBUG,
# with the interpreter's reference-count and garbage-collector assertions), with the
# modules built in debug mode (assertions on) against that interpreter's own headers, so
# that a reference-count error in a module fails the run.
#
#   bash scripts/debug-python.sh [PYTEST ARGUMENTS]
#
#   AEROLUME_DEBUG_VENV   the environment, made anew (default .venv-debug)
#   AEROLUME_SANITIZE=ON  build with the sanitizers as well, and run under
#                         scripts/sanitizer-run.sh: one build and one run for both checks
# The interpreter, its headers and venv support are installed with apt-get when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
python=python3.11d
venv="${AEROLUME_DEBUG_VENV:-.venv-debug}"

if ! command -v "$python" >/dev/null 2>&1 || [ ! -f /usr/include/python3.11/Python.h ] ||
   ! "$python" -c 'import ensurepip' >/dev/null 2>&1; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get install -y -q python3.11-dbg python3.11-dev python3.11-venv >/dev/null
fi
"$python" -c 'import sys; assert hasattr(sys, "gettotalrefcount"), "not a debug build"'

rm -rf "$venv"
"$python" -m venv "$venv"
pip=("$venv/bin/python" -m pip --disable-pip-version-check)
"${pip[@]}" install --quiet --upgrade pip
tools=()
command -v cmake >/dev/null 2>&1 || tools+=(cmake)
command -v ninja >/dev/null 2>&1 || tools+=(ninja)
"${pip[@]}" install --quiet 'scikit-build-core>=0.9' 'nanobind>=2.4' "${tools[@]}"
# Debian's debug include folder holds links to the release headers: GCC resolves the
# links of system headers, and Python.h then includes the release pyconfig.h beside its
# target (no Py_DEBUG) unless system header paths are kept as written.
sanitize="${AEROLUME_SANITIZE:-OFF}"
AEROLUME_SANITIZE=$sanitize "${pip[@]}" install --quiet --no-build-isolation -Cbuild-dir="build/debug-$sanitize" \
  -Ccmake.build-type=Debug -Ccmake.define.CMAKE_CXX_FLAGS=-fno-canonical-system-headers \
  -Cinstall.strip=false . pytest pytest-xdist

# Built for the debug interpreter: every Py_INCREF there counts into _Py_RefTotal.
for module in lumafit lumaclean _core; do
  library=$(cd "$venv" && bin/python -c "import importlib.util as u; print(u.find_spec('Aerolume.$module').origin)")
  if ! grep -qw _Py_RefTotal <<<"$(nm -u "$library")"; then
    echo "debug-python.sh: $library was not built with the debug interpreter's headers" >&2
    exit 1
  fi
done

"$venv/bin/python" -c 'import sys; print("CPython", sys.version.split()[0], "debug build")'
run=()
[ "$sanitize" != ON ] || run=(bash scripts/sanitizer-run.sh)
"${run[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
