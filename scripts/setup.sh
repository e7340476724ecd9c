#!/usr/bin/env bash
# Sets up .venv with CPython 3.10, builds and installs Aerolume with its test extra
# (AEROLUME_EXTRAS=test,examples adds the example's plotting), then runs the
# demonstration fit.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/find-python.sh "${AEROLUME_PYTHON_VERSION:-3.10}")
venv="${AEROLUME_VENV:-.venv}"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet ".[${AEROLUME_EXTRAS:-test}]"
cd "$venv" && "bin/python" -m Aerolume
