#!/usr/bin/env bash
# Builds the documentation site from docs/ into docs/_build/html with Sphinx, warnings as
# errors (-W --keep-going: every warning is reported, then the build fails).  The pages
# of the configuration tables, the product file's variables and the gallery are generated
# from the installed package during the build, which runs the scripts in examples/.
#
#     bash scripts/docs.sh [VENV]        # default .venv, as scripts/setup.sh leaves it
#
# The environment needs the package installed with the docs extra; the script installs
# the extra's dependencies when Sphinx is missing (the package itself is not rebuilt).
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${1:-${AEROLUME_VENV:-.venv}}"
python="$venv/bin/python"
if [ ! -x "$python" ]; then
  echo "docs.sh: no environment at $venv: run bash scripts/setup.sh first" >&2
  exit 1
fi
if ! "$python" -c "import sphinx, numpydoc, myst_parser, matplotlib" 2>/dev/null; then
  # The docs extra's requirements, read from pyproject.toml (one place).
  mapfile -t requirements < <("$python" - <<'PY'
import sys
if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["docs"]))
PY
)
  "$python" -m pip install --quiet "${requirements[@]}"
fi
rm -rf docs/generated docs/_build
start=$(date +%s)
"$python" -m sphinx -W --keep-going -b html -j 1 docs docs/_build/html
echo "docs built in $(( $(date +%s) - start )) s: docs/_build/html/index.html"
