#!/usr/bin/env bash
# Builds Aerolume with AddressSanitizer and UndefinedBehaviorSanitizer into its own
# virtual environment and runs the whole test suite against that build: the sanitizer
# runtime preloaded into every interpreter the tests start, and the interpreter
# allocating through malloc so that the sanitizer sees every object.  Leak detection is
# off, since the interpreter keeps much of its memory until exit (tests/test_leaks.py
# checks the modules' own).  Fails on any sanitizer report, from any process.
#
#   AEROLUME_SANITIZE_VENV  the environment (default .venv-sanitize)
#   CXX                     the compiler the build uses (default c++)
#   AEROLUME_LICEL_FUZZ_CASES  mutated raw files the fault campaign reads (default 3000,
#                           as without the sanitizers: about 20 s here)
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/find-python.sh "${AEROLUME_PYTHON_VERSION:-3.10}")
venv="${AEROLUME_SANITIZE_VENV:-.venv-sanitize}"
cxx="${CXX:-c++}"

"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
# The build runs without isolation (so that build/sanitize is reused between runs): the
# backend, and CMake and Ninja where the system has none, come into the environment.
tools=()
command -v cmake >/dev/null 2>&1 || tools+=(cmake)
command -v ninja >/dev/null 2>&1 || tools+=(ninja)
"$venv/bin/python" -m pip install --quiet 'scikit-build-core>=0.9' 'nanobind>=2.4' "${tools[@]}"
AEROLUME_SANITIZE=ON AEROLUME_WERROR=ON "$venv/bin/python" -m pip install --quiet --no-build-isolation \
  -Cbuild-dir=build/sanitize -Cinstall.strip=false '.[test]'

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
runtime="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libubsan.so)"
status=0
env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc AEROLUME_SANITIZED=1 \
  AEROLUME_LICEL_FUZZ_CASES="${AEROLUME_LICEL_FUZZ_CASES:-3000}" \
  ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider || status=$?
if compgen -G "$reports/*" >/dev/null; then
  cat "$reports"/*
  echo "sanitize.sh: the sanitizers reported errors (above)" >&2
  status=1
fi
exit "$status"
