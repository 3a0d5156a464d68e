"""Sphinx configuration for quillet's documentation.

The API reference is generated from the *installed* package: the compiled
modules are imported as they are, so their docstrings and text signatures are
the ones users see in ``help()``, and the type stubs installed beside them add
parameter and return types and the attributes every instance keeps (see
``_ext/stubdoc.py``).  Build with warnings as errors::

    pip install ".[docs]"
    python -m sphinx -W -b html docs docs/_build/html
"""

import importlib
import importlib.metadata
import os
import sys
from importlib.machinery import EXTENSION_SUFFIXES

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "_ext"))

# The modules of the API reference.  The sandbox modules run a demonstration
# when imported and are described in sandbox.md instead.
API_MODULES = [
    "quillet",
    "quillet.nn",
    "quillet.init",
    "quillet.nn.resampling",
    "quillet.nn.Lintrel",
    "quillet.nn.Plantrel",
    "quillet.nn.Unfurlet",
    "quillet.nn.pool",
    "quillet.flatten",
    "quillet.nn.linear",
    "quillet.nn.activation",
    "quillet.nn.loss",
    "quillet.nn.batchnorm",
    "quillet.nn.dropout",
    "quillet.nn.sequential",
    "quillet.optim",
    "quillet.gradcheck",
    "quillet.state",
    "quillet.models.mlp",
    "quillet.models.cnn",
    "quillet.models.trawlix",
]

# Import every documented module here, before autodoc does.  Recent Sphinx
# versions load a native module's ``.pyi`` stub *instead of* the module when
# one sits beside it, which would lose every docstring; a module already
# imported is used as it is.  This also stops the build early, with a clear
# message, when quillet is not installed.
for _name in API_MODULES:
    try:
        _module = importlib.import_module(_name)
    except ImportError as exc:
        raise RuntimeError(
            f"cannot import {_name} ({exc}); the API reference documents the installed "
            f'package: run  pip install ".[docs]"  in quillet\'s folder first'
        ) from exc
    if not str(getattr(_module, "__file__", "")).endswith(tuple(EXTENSION_SUFFIXES)):
        raise RuntimeError(
            f"{_name} was imported from {getattr(_module, '__file__', None)}, not from a compiled extension module"
        )

project = "quillet"
author = "the quillet developers"
copyright = "the quillet developers"
release = importlib.metadata.version("quillet")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "myst_parser",
    "stubdoc",
    "plaintext",
    "matplotlib.sphinxext.plot_directive",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_ext"]

# Headings of the Markdown pages (design.md among them) get anchors that
# other pages can link to.
myst_heading_anchors = 3

# The methods' docstrings are written as "Argument:" and "Return:" sections,
# one "name (type): shape" entry a line.
napoleon_google_docstring = True
napoleon_numpy_docstring = False
# A class docstring's "Attributes:" become fields of the class description; the
# attributes themselves are listed from the stubs (see _ext/stubdoc.py).
napoleon_use_ivar = True
napoleon_custom_sections = [("Argument", "params_style"), ("Return", "params_style")]

autodoc_default_options = {
    "members": True,
    "undoc-members": True,
    "special-members": "__call__",
}
# Members in the order the stubs declare them (see _ext/stubdoc.py).
stubdoc_modules = API_MODULES
autodoc_member_order = "bysource"
autoclass_content = "class"

# The tutorials' figures are drawn by their code while the documentation is
# built (the plot directive), so they show what the installed quillet does.
# The code is shown above each figure; no links to separate source files or
# other formats.
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]
plot_pre_code = "import numpy as np\nfrom matplotlib import pyplot as plt"
plot_rcparams = {"figure.dpi": 100, "savefig.bbox": "tight"}

html_theme = "alabaster"
html_title = f"quillet {release}"
html_theme_options = {
    "description": "Neural-network layers with explicit forward and backward passes, at native speed",
    "fixed_sidebar": True,
}
# Long code lines wrap within the column (_static/quillet.css).
html_static_path = ["_static"]
html_css_files = ["quillet.css"]
