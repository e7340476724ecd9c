#!/usr/bin/env bash
# Runs a command with the AddressSanitizer and UndefinedBehaviorSanitizer runtimes
# preloaded into it and every process it starts, the interpreter allocating through
# malloc so that the sanitizer sees every object, and fails if any process reported an
# error.  Leak detection is off: the interpreter keeps much of its memory until exit
# (tests/test_leaks.py checks the modules' own).  For modules built with
# AEROLUME_SANITIZE=ON.
#
#   bash scripts/sanitizer-run.sh COMMAND [ARGUMENTS...]
#
#   CXX                        the compiler the build used (default c++)
#   AEROLUME_LICEL_FUZZ_CASES  mutated raw files the fault campaign reads (default 3000)
set -euo pipefail
cxx="${CXX:-c++}"
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
runtime="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libubsan.so)"
status=0
env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc AEROLUME_SANITIZED=1 \
  AEROLUME_LICEL_FUZZ_CASES="${AEROLUME_LICEL_FUZZ_CASES:-3000}" \
  ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
  "$@" || status=$?
if compgen -G "$reports/*" >/dev/null; then
  cat "$reports"/*
  echo "sanitizer-run.sh: the sanitizers reported errors (above)" >&2
  status=1
fi
exit "$status"
