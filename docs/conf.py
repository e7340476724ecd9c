"""Sphinx configuration of Aerolume's documentation (built by scripts/docs.sh).

The pages are MyST Markdown (``guide/*.md`` and the others) and reStructuredText (the API
reference, made by autosummary from the installed package's docstrings).  The pages of
the configuration tables, of the product file's variables and of the example gallery are
generated at build time from the package itself (``_ext/aerolume_docs.py``), so they
cannot drift from the code.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "_ext"))

# The installed package, not the clone's source folder (which holds no built modules):
# drop the repository root from the path before anything imports Aerolume.
_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]

import Aerolume  # noqa: E402

project = "Aerolume"
author = "the Aerolume developers"
copyright = "the Aerolume developers, BSD 3-clause licence"
release = Aerolume.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.intersphinx",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
    "aerolume_docs",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "**/.ipynb_checkpoints"]
myst_enable_extensions = ["colon_fence", "deflist", "dollarmath"]
myst_heading_anchors = 3

autosummary_generate = True
autosummary_imported_members = False
autodoc_default_options = {}
autosummary_ignore_module_all = False
templates_path = ["_templates"]
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
numpydoc_validation_checks = set()

# No network during the build: intersphinx gets no inventories, and references to
# NumPy or xarray stay plain text.
intersphinx_mapping = {}

html_theme = "alabaster"
html_title = f"Aerolume {release}"
html_static_path = []
html_theme_options = {"description": "ground-based lidar, from raw files to aerosol products"}

# Nitpicky off: the docstrings name types in prose (array_like, mapping, ...).
nitpicky = False
# Docstring text written for numpydoc, not for Sphinx's cross-reference resolver.
suppress_warnings = ["ref.python"]
