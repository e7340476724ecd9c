#!/usr/bin/env bash
# Sets up .venv with CPython 3.10, builds and installs Aerolume with its test extra
# (AEROLUME_EXTRAS=test,examples adds the example's plotting), then runs the main job on
# the sample raw files shipped in examples/data/licel: `aerolume process` writes
# output/night.nc and `aerolume quicklook` draws output/night.png.  Last, the
# demonstration fit of `python -m Aerolume`.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(bash scripts/find-python.sh "${AEROLUME_PYTHON_VERSION:-3.10}")
venv="${AEROLUME_VENV:-.venv}"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet ".[${AEROLUME_EXTRAS:-test}]"
mkdir -p output
"$venv/bin/aerolume" process examples/data/licel/RM* --config examples/station.toml \
  -o output/night.nc
"$venv/bin/aerolume" quicklook output/night.nc -o output/night.png
echo "wrote output/night.nc and output/night.png"
cd "$venv" && "bin/python" -m Aerolume
