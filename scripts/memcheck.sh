#!/usr/bin/env bash
# Runs a representative part of the test suite under valgrind memcheck, the interpreter
# allocating through malloc so that every object is checked: the fuzzing sweep of every
# awkward value through every parameter, the concurrency test, the regression cases,
# the in-process leak cases, the pre-processing tests, the native passes, and the raw-file
# reader on its files and on mutated ones (it reads untrusted input).  Child
# interpreters are checked too.  Fails on any error memcheck reports that
# scripts/valgrind.supp does not name.  Leaks are tests/test_leaks.py's business.
#
# Uses the environment scripts/setup.sh makes (AEROLUME_VENV, default .venv), making it
# first if it is missing; installs valgrind with apt-get if it is missing and this runs
# as root.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
if ! command -v valgrind >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
  else
    echo "memcheck.sh: valgrind is not installed" >&2
    exit 1
  fi
fi
venv="${AEROLUME_VENV:-.venv}"
[ -x "$venv/bin/pytest" ] || bash scripts/setup.sh

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# Children would take as long as the rest together: the cases that start interpreters
# of their own, and the leak check proper, stay out.
skip="not crash and not chain and not importing_again and not no_call_leaks"
skip+=" and not measurement and not either_import_order"
status=0
env PYTHONMALLOC=malloc AEROLUME_FUZZ_SWEEP=calls AEROLUME_FUZZ_CALLS=1000 \
  AEROLUME_LICEL_FUZZ_CASES="${AEROLUME_LICEL_FUZZ_CASES:-300}" \
  valgrind --tool=memcheck --leak-check=no --error-exitcode=99 \
  --suppressions="$root/scripts/valgrind.supp" --trace-children=yes \
  --log-file="$logs/memcheck.%p.log" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider -k "$skip" \
  tests/test_fuzz.py tests/test_threads.py tests/test_faults.py tests/test_leaks.py \
  tests/test_lumaclean.py tests/test_native_paths.py \
  tests/test_licel.py "tests/test_fault_campaign.py::test_mutated_raw_files_read_or_are_refused_naming_the_file" \
  || status=$?
# Every process checked must have ended with a clean summary.
unclean=$(grep -L "ERROR SUMMARY: 0 errors" "$logs"/memcheck.*.log || true)
if [ -n "$unclean" ]; then
  cat $unclean
  echo "memcheck.sh: memcheck reported errors (above)" >&2
  status=1
fi
echo "memcheck.sh: $(ls "$logs" | wc -l) interpreters checked"
exit "$status"
