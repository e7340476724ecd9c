"""Pages generated from the package at build time, so that they cannot drift from it.

- ``generated/configuration/<table>.md``: one page per table of the processing
  configuration, from :data:`Aerolume.processing.config.SCHEMA` (fields, defaults, documentation);
- ``generated/variables.md``: every variable a product file may hold, with its units,
  from the one table :data:`Aerolume.metadata.VARIABLES`, and the quality flags' bits from
  :data:`Aerolume.quality.FLAGS`;
- ``generated/gallery/<example>.md``: each script of ``examples/`` run as a user runs it
  (``python examples/NAME.py --output NAME.png`` from the repository's root), with its
  figure, what it printed and its source.

- ``generated/api.rst``: the API reference's list of public modules (autosummary makes
  a page of each from its docstrings).

Everything is written into the source folder's ``generated/`` (not tracked) when the
builder starts; a failing example fails the build.
"""

from __future__ import annotations

import concurrent.futures
import importlib
import os
import pathlib
import subprocess
import sys
import time

from sphinx.errors import ExtensionError
from sphinx.util import logging

logger = logging.getLogger(__name__)

#: Longest time one example may take (s).
EXAMPLE_TIMEOUT = 150


def _cell(text) -> str:
    """Text made safe for one cell of a Markdown table."""
    return " ".join(str(text).split()).replace("|", "\\|")


#: The public modules of the API reference, in its order; a name the package does not
#: have (modules move as the package grows) is left out.
API_MODULES = ["io", "preprocess", "atmosphere", "retrieval", "uncertainty", "simulate",
               "depolarization", "clouds", "quality", "metadata", "constants", "config",
               "processing", "pipeline", "plot", "quicklook", "earlinet", "scc"]


def _module(*names: str):
    """The first of the modules `names` that the installed package has."""
    for name in names:
        try:
            return importlib.import_module(name)
        except ModuleNotFoundError:
            continue
    raise ExtensionError(f"none of the modules {', '.join(names)} is installed")


def api_page(out: pathlib.Path) -> None:
    found = []
    for short in API_MODULES:
        try:
            importlib.import_module(f"Aerolume.{short}")
        except ModuleNotFoundError:
            continue
        found.append(f"Aerolume.{short}")
    lines = ["API reference", "=============", "",
             "The toolkit's public modules, from the docstrings of the installed package.  "
             "Every function takes and returns NumPy arrays or ``xarray`` Datasets in SI "
             "units.", "",
             ".. autosummary::", "   :toctree: api", "   :template: module.rst", ""]
    lines += [f"   {name}" for name in found]
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("\n".join(lines) + "\n", encoding="utf-8")


def configuration_pages(out: pathlib.Path) -> None:
    config = _module("Aerolume.processing.config", "Aerolume.processing.config")
    preprocess = _module("Aerolume.preprocess")

    out.mkdir(parents=True, exist_ok=True)
    arrays = getattr(config, "_ARRAYS", set())
    tables = list(config.SCHEMA)
    # The tables that belong to another function, in the order `aerolume config` gives.
    passthrough = sorted(getattr(config, "_PASSTHROUGH", set()))
    index = ["# Configuration tables", "",
             "A processing configuration is a TOML file of the tables below; every field is "
             "optional.  An unknown table or field, or a value of the wrong type or outside "
             "its range, is an error that names the file and the field.  "
             "`.venv/bin/aerolume config` prints every field with its default, as a "
             "commented file.  These pages are generated from the configuration's schema "
             "(`Aerolume.processing.config.SCHEMA`).", "",
             "```{toctree}", ":maxdepth: 1", ""]
    for table in tables + passthrough:
        index.append(table)
        header = f"[[{table}]]" if table in arrays else f"[{table}]"
        lines = [f"# `{header}`", ""]
        if table in arrays:
            lines += [f"Given as a list of tables: one `{header}` header per retrieval; none "
                      "by default.", ""]
        if table in passthrough:
            keys = getattr(preprocess, "CORRECTION_KEYS", ())
            lines += ["The fields are the keyword arguments of "
                      "{func}`Aerolume.preprocess.correct`, one to one, and are checked "
                      "against its signature; see its documentation for each value.", "",
                      "| field |", "|---|"]
            lines += [f"| `{key}` |" for key in keys]
        else:
            fields = config.SCHEMA[table]
            lines += ["| field | default | what it sets |", "|---|---|---|"]
            for key, field in fields.items():
                if field.required:
                    default = "required"
                elif field.default is None:
                    default = "none"
                else:
                    default = f"`{_cell(config._toml(field.default))}`"
                lines.append(f"| `{key}` | {default} | {_cell(field.doc)} |")
            # The table with its defaults, as a file holds it.
            lines += ["", "With every field at its default (a field without one "
                      "commented out):", "", "```toml", header]
            for key, field in fields.items():
                if field.required or field.default is None:
                    lines.append(f"# {key} = ...")
                else:
                    lines.append(f"{key} = {config._toml(field.default)}")
            lines += ["```"]
        (out / f"{table}.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
    index += ["```", ""]
    (out / "index.md").write_text("\n".join(index), encoding="utf-8")


def variables_page(out: pathlib.Path) -> None:
    from Aerolume import metadata, quality

    lines = ["# Product file variables", "",
             "Every variable that `aerolume process` (or {func}`Aerolume.io.to_netcdf`) may "
             "write, with the CF attributes it is written with.  The page is generated from "
             "the one table of them, `Aerolume.metadata.VARIABLES`, which the writer "
             "applies; a file holds the variables of the channels and retrievals its "
             "configuration asked for.  Variables marked *per channel* hold each channel in "
             "its own unit: the unit of channel *i* is `signal_units[i]` (analog mV, photon "
             "counting and glued channels MHz), and the variable's `units` is `1` with "
             "`units_convention = \"per_channel\"`.", "",
             "| variable | units | long name | standard name | cell methods | linked |",
             "|---|---|---|---|---|---|"]
    for name, row in metadata.VARIABLES.items():
        if row.get("units_convention") == "per_channel":
            units = "per channel"
        elif "units" in row:
            units = f"`{_cell(row['units'])}`"
        else:
            units = ""
        linked = ", ".join(f"`{a}`" for a in row.get("_ancillary", ()))
        lines.append(f"| `{name}` | {units} | {_cell(row.get('long_name', ''))} | "
                     f"{_cell(row.get('standard_name', ''))} | "
                     f"{_cell(row.get('cell_methods', ''))} | {linked} |")
    lines += ["", "## Quality flags", "",
              "`quality_flag` and `raman_quality_flag` are bit fields (CF `flag_masks` and "
              "`flag_meanings`); 0 is a good gate.  The products keep their values: the flags "
              "say which gates to trust.", "",
              "| bit | meaning |", "|---|---|"]
    lines += [f"| {value} | `{name}` |" for name, value in quality.FLAGS.items()]
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("\n".join(lines) + "\n", encoding="utf-8")


def _run_example(script: pathlib.Path, root: pathlib.Path, out: pathlib.Path):
    figure = out / f"{script.stem}.png"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["MPLBACKEND"] = "Agg"
    start = time.perf_counter()
    done = subprocess.run([sys.executable, str(script.relative_to(root)), "--output",
                           str(figure)], cwd=root, env=env, capture_output=True, text=True,
                          timeout=EXAMPLE_TIMEOUT)
    return script, done, time.perf_counter() - start


def gallery_pages(root: pathlib.Path, out: pathlib.Path) -> None:
    import ast

    out.mkdir(parents=True, exist_ok=True)
    scripts = sorted((root / "examples").glob("*.py"))
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        runs = list(pool.map(lambda s: _run_example(s, root, out), scripts))
    index = ["# Gallery", "",
             "The scripts of `examples/`, run when this site was built, each as "
             "`.venv/bin/python examples/NAME.py --output NAME.png` from the repository's "
             "root (they need matplotlib: the `examples` extra).", "",
             "```{toctree}", ":maxdepth: 1", ""]
    for script, done, seconds in runs:
        if done.returncode != 0:
            raise ExtensionError(f"examples/{script.name} failed (exit status "
                                 f"{done.returncode}):\n{done.stderr[-3000:]}")
        logger.info(f"gallery: examples/{script.name} ran in {seconds:.1f} s")
        doc = ast.get_docstring(ast.parse(script.read_text(encoding="utf-8"))) or ""
        title, _, rest = doc.partition("\n")
        printed = done.stdout.strip()
        lines = [f"# {title.strip() or script.stem}", "",
                 f"`examples/{script.name}`, run in {seconds:.1f} s when this page was built:",
                 "", "```console",
                 f"$ .venv/bin/python examples/{script.name} --output {script.stem}.png",
                 "```", "", f"![{script.stem}]({script.stem}.png)", ""]
        if printed:
            lines += ["What it printed:", "", "```text", printed, "```", ""]
        if rest.strip():
            lines += ["What it does (the script's docstring):", "", "```text",
                      rest.strip(), "```", ""]
        lines += ["The script:", "", f"```{{literalinclude}} ../../../examples/{script.name}",
                  ":language: python", "```", ""]
        (out / f"{script.stem}.md").write_text("\n".join(lines), encoding="utf-8")
        index.append(script.stem)
    index += ["```", ""]
    (out / "index.md").write_text("\n".join(index), encoding="utf-8")


def generate(app) -> None:
    src = pathlib.Path(app.srcdir)
    root = src.parent
    generated = src / "generated"
    configuration_pages(generated / "configuration")
    variables_page(generated / "variables.md")
    gallery_pages(root, generated / "gallery")


def api(app, config) -> None:
    # When the configuration is read, before the sources are found: autosummary makes
    # its pages from the sources found, this one among them.
    api_page(pathlib.Path(app.srcdir) / "generated" / "api.rst")


def setup(app):
    app.connect("config-inited", api)
    app.connect("builder-inited", generate)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
